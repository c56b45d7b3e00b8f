#include "clipboard.h"

QByteArray BuildRgbDibFromGray(const unsigned char *, int, int) { return {}; }
QImage CreateRgbBitmapFromGray(const QImage &) { return {}; }
bool PutBitmapOnClipboard(const QImage &, QWidget *) { return false; }
void CopyImageToClipboard(const QImage *, QWidget *) {}
