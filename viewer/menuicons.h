// menuicons.h - small icons on the Open, Check for Updates and About items.
#pragma once

class QIcon;
class QMenuBar;

// Attaches the icon to the menu item whose QAction::data() is command,
// searched through every popup of the menu bar. 0 on success, -1 when no
// such item exists. Nothing breaks where the style shows no menu icons.
int SetMenuItemIcon(QMenuBar *menuBar, int command, const QIcon &icon);

// Attaches the three product icons (Open, Check for Updates, About).
void AttachMenuIcons(QMenuBar *menuBar);
