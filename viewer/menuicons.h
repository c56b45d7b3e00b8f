// menuicons.h - small icons on the Open, Check for Updates and About items,
// and the application icon.
#pragma once

class QIcon;
class QMenuBar;
class QPixmap;
class QString;

// Attaches the icon to the menu item whose QAction::data() is command,
// searched through every popup of the menu bar. 0 on success, -1 when no
// such item exists. Nothing breaks where the style shows no menu icons.
int SetMenuItemIcon(QMenuBar *menuBar, int command, const QIcon &icon);

// Attaches the three product icons (Open, Check for Updates, About).
void AttachMenuIcons(QMenuBar *menuBar);

// One of the menu pictures ("open", "check-updates", "about") at size x size
// device pixels: the drawing made for that size at 16, 20 and 24 pixels,
// the scalable drawing otherwise. Null for an unknown name.
QPixmap MenuIconPixmap(const QString &name, int size);

// The application (and window) icon with every size the desktops ask for.
QIcon VellumoAppIcon();
