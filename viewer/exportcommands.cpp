#include "exportcommands.h"

#include "clipboard.h"
#include "commandids.h"
#include "uiseam.h"
#include "wsq_writers.h"

#include <QAction>
#include <QFile>
#include <QFileInfo>
#include <QMenu>
#include <QRect>
#include <QWidget>

namespace vellumo {
namespace {

enum class Format { Bmp, Png, Pgm };

const char *extensionOf(Format format)
{
    switch (format) {
    case Format::Bmp: return "bmp";
    case Format::Png: return "png";
    case Format::Pgm: return "pgm";
    }
    return "bmp";
}

bool hasPixels(const GrayImage *image)
{
    return image && image->pixels && image->width > 0 && image->height > 0;
}

// A new name typed without any extension gets the format's one; a file the
// user picked that already exists is written under its own name.
QString withExtension(const QString &path, Format format)
{
    const QFileInfo info(path);
    if (info.exists() || !info.suffix().isEmpty() || info.fileName().isEmpty())
        return path;
    return path + QLatin1Char('.') + QLatin1String(extensionOf(format));
}

// Writes the image; the status is deliberately not reported (a failed save
// shows nothing). The path goes to the writer in the file system's own
// encoding, every character kept.
void writeImage(const GrayImage *image, const QString &path, Format format)
{
    const QByteArray narrow = QFile::encodeName(path);
    switch (format) {
    case Format::Bmp: (void)wsq_save_bmp(image, narrow.constData()); break;
    case Format::Png: (void)wsq_save_png(image, narrow.constData()); break;
    case Format::Pgm: (void)wsq_save_pgm(image, narrow.constData()); break;
    }
}

void saveFromImageMenu(QWidget *owner, const GrayImage *image, Format format)
{
    ui::FileDialogRequest request;
    request.kind = ui::FileDialogRequest::Save;
    request.owner = owner;
    switch (format) {
    case Format::Bmp:
        request.caption = QStringLiteral("Save as BMP");
        request.filters = {QStringLiteral("All Files (*.*)"), QStringLiteral("BMP Files (*.bmp)")};
        break;
    case Format::Png:
        request.caption = QStringLiteral("Save as PNG");
        request.filters = {QStringLiteral("All Files (*.*)"), QStringLiteral("PNG Files (*.png)")};
        break;
    case Format::Pgm:
        request.caption = QStringLiteral("Save as PGM");
        request.filters = {QStringLiteral("All Files (*.*)"), QStringLiteral("PGM Files (*.pgm)")};
        break;
    }
    request.selectedFilter = 0;
    request.defaultSuffix.clear();
    request.confirmOverwrite = false; // the image menu replaces without asking

    const ui::FileDialogResult result = ui::runFileDialog(request);
    if (!result.accepted || result.path.isEmpty())
        return;
    writeImage(image, withExtension(result.path, format), format);
}

} // namespace

void SaveAsCommand(QWidget *owner, const GrayImage *image)
{
    // The menu item is greyed without an image; asking for a name that
    // could not be written to would only mislead.
    if (!hasPixels(image))
        return;

    ui::FileDialogRequest request;
    request.kind = ui::FileDialogRequest::Save;
    request.owner = owner;
    request.caption = QStringLiteral("Save As");
    request.filters = {QStringLiteral("BMP File (*.bmp)"), QStringLiteral("PNG file (*.png)"),
                       QStringLiteral("PGM file (*.pgm)")};
    request.selectedFilter = 0;
    request.defaultSuffix = QStringLiteral("bmp");
    request.confirmOverwrite = true;

    const ui::FileDialogResult result = ui::runFileDialog(request);
    if (!result.accepted || result.path.isEmpty())
        return;

    // The chosen type decides the writer, whatever extension was typed.
    Format format = Format::Pgm;
    if (result.filterIndex == 0)
        format = Format::Bmp;
    else if (result.filterIndex == 1)
        format = Format::Png;
    writeImage(image, withExtension(result.path, format), format);
}

bool ImageContextMenu(QWidget *owner, QWidget *view, const QPoint &globalPos,
                      const GrayImage *image, const QImage *displayBitmap)
{
    if (!view)
        return false;
    // The view's rectangle on screen. QRect's right and bottom are the
    // outermost pixel column and row, so contains() counts both edges as
    // inside and the first pixel beyond as outside.
    const QRect onScreen(view->mapToGlobal(QPoint(0, 0)), view->size());
    if (!onScreen.contains(globalPos))
        return false;

    const bool enabled = hasPixels(image);
    QMenu menu(owner);
    const struct {
        int id;
        const char *text;
    } items[] = {
        {IDM_IMAGE_COPY, "Copy to clipboard"},
        {IDM_IMAGE_SAVE_BMP, "Save as BMP"},
        {IDM_IMAGE_SAVE_PNG, "Save as PNG"},
        {IDM_IMAGE_SAVE_PGM, "Save as PGM"},
    };
    for (const auto &item : items) {
        QAction *action = menu.addAction(QString::fromLatin1(item.text));
        action->setData(item.id);
        action->setEnabled(enabled);
    }

    const int chosen = ui::execPopupMenu(menu, globalPos);
    if (!enabled) // greyed items cannot be chosen
        return true;

    switch (chosen) {
    case IDM_IMAGE_COPY: CopyImageToClipboard(displayBitmap, owner); break;
    case IDM_IMAGE_SAVE_BMP: saveFromImageMenu(owner, image, Format::Bmp); break;
    case IDM_IMAGE_SAVE_PNG: saveFromImageMenu(owner, image, Format::Png); break;
    case IDM_IMAGE_SAVE_PGM: saveFromImageMenu(owner, image, Format::Pgm); break;
    default: break; // dismissed
    }
    return true;
}

} // namespace vellumo
