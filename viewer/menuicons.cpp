#include "menuicons.h"

#include <QIcon>
#include <QMenuBar>

int SetMenuItemIcon(QMenuBar *, int, const QIcon &) { return -1; }

void AttachMenuIcons(QMenuBar *) {}
