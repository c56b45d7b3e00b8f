#include "uiseam.h"

#include <QDialog>
#include <QAction>
#include <QFileDialog>
#include <QMenu>
#include <QRegularExpression>

namespace vellumo::ui {
namespace {
MessageBoxHandler &messageBoxHandler() { static MessageBoxHandler h; return h; }
FileDialogHandler &fileDialogHandler() { static FileDialogHandler h; return h; }
ModalHandler &modalHandler() { static ModalHandler h; return h; }
PopupMenuHandler &popupMenuHandler() { static PopupMenuHandler h; return h; }
} // namespace

void showMessageBox(const MessageBoxRequest &request)
{
    if (auto &h = messageBoxHandler()) {
        h(request);
        return;
    }
    QMessageBox box(request.icon, request.caption, request.text, QMessageBox::Ok, request.owner);
    box.exec();
}

void setMessageBoxHandler(MessageBoxHandler handler) { messageBoxHandler() = std::move(handler); }

FileDialogResult runFileDialog(const FileDialogRequest &request)
{
    if (auto &h = fileDialogHandler())
        return h(request);

    QFileDialog dialog(request.owner, request.caption);
    dialog.setAcceptMode(request.kind == FileDialogRequest::Save ? QFileDialog::AcceptSave
                                                                 : QFileDialog::AcceptOpen);
    dialog.setFileMode(request.kind == FileDialogRequest::Save ? QFileDialog::AnyFile
                                                               : QFileDialog::ExistingFile);
    dialog.setNameFilters(request.filters);
    if (request.selectedFilter >= 0 && request.selectedFilter < request.filters.size())
        dialog.selectNameFilter(request.filters.at(request.selectedFilter));
    if (!request.defaultSuffix.isEmpty()) {
        dialog.setDefaultSuffix(request.defaultSuffix);
        // A name typed without extension gets the chosen type's one
        // ("PNG file (*.png)" -> png), not always the initial default.
        QObject::connect(&dialog, &QFileDialog::filterSelected, &dialog, [&dialog](const QString &filter) {
            static const QRegularExpression pattern(QStringLiteral("\\*\\.(\\w+)"));
            const QRegularExpressionMatch match = pattern.match(filter);
            if (match.hasMatch())
                dialog.setDefaultSuffix(match.captured(1));
        });
    }
    dialog.setOption(QFileDialog::DontConfirmOverwrite, !request.confirmOverwrite);

    FileDialogResult result;
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty())
        return result;
    result.accepted = true;
    result.path = dialog.selectedFiles().constFirst();
    result.filterIndex = std::max<qsizetype>(0, request.filters.indexOf(dialog.selectedNameFilter()));
    return result;
}

void setFileDialogHandler(FileDialogHandler handler) { fileDialogHandler() = std::move(handler); }

int execModal(QDialog &dialog)
{
    if (auto &h = modalHandler())
        return h(dialog);
    return dialog.exec();
}

void setModalHandler(ModalHandler handler) { modalHandler() = std::move(handler); }

int execPopupMenu(QMenu &menu, const QPoint &globalPos)
{
    if (auto &h = popupMenuHandler())
        return h(menu, globalPos);
    QAction *chosen = menu.exec(globalPos);
    return chosen ? chosen->data().toInt() : 0;
}

void setPopupMenuHandler(PopupMenuHandler handler) { popupMenuHandler() = std::move(handler); }

} // namespace vellumo::ui
