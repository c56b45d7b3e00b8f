#include "exportcommands.h"

namespace vellumo {

void SaveAsCommand(QWidget *, const GrayImage *) {}

bool ImageContextMenu(QWidget *, QWidget *, const QPoint &, const GrayImage *, const QImage *)
{
    return false;
}

} // namespace vellumo
