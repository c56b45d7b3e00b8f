#include "exportcommands.h"

#include "clipboard.h"
#include "commandids.h"
#include "uiseam.h"
#include "wsq_writers.h"

#include <QAction>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QMenu>
#include <QRect>
#include <QWidget>

#include <unistd.h>

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

// Why a save to path failed, from what is there now: the writer only
// says that it could not write.
QString saveFailureReason(const QString &path, int status)
{
    if (status == WSQ_E_PNG)
        return QStringLiteral("The PNG encoder failed.");
    if (status == WSQ_E_EMPTY_IMAGE)
        return QStringLiteral("There is no image to save.");
    const QFileInfo target(path);
    const QString folder = QDir::toNativeSeparators(target.absolutePath());
    const QFileInfo folderInfo(target.absolutePath());
    if (target.isDir())
        return QStringLiteral("%1 is a folder.").arg(target.fileName());
    // A device or pipe is written in place, not through the folder.
    if (target.exists() && !target.isFile()) {
        if (::access(QFile::encodeName(path).constData(), W_OK) != 0)
            return QStringLiteral("You are not allowed to write to %1.").arg(QDir::toNativeSeparators(path));
        return QStringLiteral("The disk may be full, or the file cannot be written there.");
    }
    if (!folderInfo.exists())
        return QStringLiteral("The folder %1 does not exist.").arg(folder);
    if (!folderInfo.isDir())
        return QStringLiteral("%1 is not a folder.").arg(folder);
    if (::access(QFile::encodeName(target.absolutePath()).constData(), W_OK | X_OK) != 0)
        return QStringLiteral("You are not allowed to write in the folder %1.").arg(folder);
    return QStringLiteral("The disk may be full, or the file cannot be written there.");
}

// Writes the image and says so when it could not. The writers put the
// bytes into a new file beside the target and rename it into place, so a
// failure never leaves a file that was there half-written. The path goes
// to the writer in the file system's own encoding, every character kept.
void writeImage(QWidget *owner, const GrayImage *image, const QString &path, Format format)
{
    const QByteArray narrow = QFile::encodeName(path);
    int status = WSQ_E_WRITE;
    switch (format) {
    case Format::Bmp: status = wsq_save_bmp(image, narrow.constData()); break;
    case Format::Png: status = wsq_save_png(image, narrow.constData()); break;
    case Format::Pgm: status = wsq_save_pgm(image, narrow.constData()); break;
    }
    if (status >= 0)
        return;

    const QFileInfo target(path);
    QString text = QStringLiteral("The image could not be saved as %1.\n\n%2")
                       .arg(target.fileName().isEmpty() ? path : target.fileName(), saveFailureReason(path, status));
    if (target.isFile())
        text += QStringLiteral("\n\nThe existing file was left as it was.");
    ui::MessageBoxRequest box;
    box.owner = owner;
    box.caption = QStringLiteral("Vellumo");
    box.text = text;
    box.icon = QMessageBox::Warning;
    ui::showMessageBox(box);
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
    writeImage(owner, image, withExtension(result.path, format), format);
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
    writeImage(owner, image, withExtension(result.path, format), format);
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
