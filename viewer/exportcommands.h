// exportcommands.h - File > Save As and the image context menu.
#pragma once

#include <QPoint>

#include "wsq.h"

class QImage;
class QWidget;

namespace vellumo {

// File > Save As: one dialog with the BMP, PNG and PGM types; the chosen
// type decides the writer. image may be empty (the writer then refuses).
void SaveAsCommand(QWidget *owner, const GrayImage *image);

// The image menu for a right click at globalPos. Opens only when globalPos
// lies inside view's rectangle (edges included); items are greyed unless
// image holds pixels. Copy goes to CopyImageToClipboard(displayBitmap).
// Returns true when the menu was shown.
bool ImageContextMenu(QWidget *owner, QWidget *view, const QPoint &globalPos,
                      const GrayImage *image, const QImage *displayBitmap);

} // namespace vellumo
