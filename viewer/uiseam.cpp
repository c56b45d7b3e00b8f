#include "uiseam.h"

#include <QDialog>
#include <QAction>
#include <QComboBox>
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

QString dialogNameFilter(const QString &visible)
{
    // "Text (pattern pattern ...)": only the patterns change.
    static const QRegularExpression form(QStringLiteral("^(.*)\\(([^()]*)\\)\\s*$"));
    const QRegularExpressionMatch match = form.match(visible);
    if (!match.hasMatch())
        return visible;
    QStringList patterns = match.captured(2).split(QLatin1Char(' '), Qt::SkipEmptyParts);
    bool changed = false;
    for (QString &pattern : patterns) {
        if (pattern == QLatin1String("*.*")) {
            pattern = QStringLiteral("*");
            changed = true;
        }
    }
    patterns.removeDuplicates();
    return changed ? match.captured(1) + QLatin1Char('(') + patterns.join(QLatin1Char(' ')) + QLatin1Char(')')
                   : visible;
}

void prepareFileDialog(QFileDialog &dialog, const FileDialogRequest &request)
{
    dialog.setWindowTitle(request.caption);
    dialog.setAcceptMode(request.kind == FileDialogRequest::Save ? QFileDialog::AcceptSave
                                                                 : QFileDialog::AcceptOpen);
    dialog.setFileMode(request.kind == FileDialogRequest::Save ? QFileDialog::AnyFile
                                                               : QFileDialog::ExistingFile);
    QStringList matching;
    for (const QString &filter : request.filters)
        matching << dialogNameFilter(filter);
    dialog.setNameFilters(matching);
    if (request.selectedFilter >= 0 && request.selectedFilter < matching.size())
        dialog.selectNameFilter(matching.at(request.selectedFilter));
    // The dialog's own list shows the texts as given; it filters by the
    // matching patterns whatever the list shows.
    if (auto *types = dialog.findChild<QComboBox *>(QStringLiteral("fileTypeCombo"))) {
        for (int i = 0; i < types->count() && i < request.filters.size(); ++i)
            types->setItemText(i, request.filters.at(i));
    }
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
}

int selectedFilterIndex(const QFileDialog &dialog, const FileDialogRequest &request)
{
    // The widget dialog answers with the text its list shows, a native
    // one with the matching filter.
    const QString selected = dialog.selectedNameFilter();
    for (qsizetype i = 0; i < request.filters.size(); ++i)
        if (selected == request.filters.at(i) || selected == dialogNameFilter(request.filters.at(i)))
            return int(i);
    return 0;
}

FileDialogResult runFileDialog(const FileDialogRequest &request)
{
    if (auto &h = fileDialogHandler())
        return h(request);

    QFileDialog dialog(request.owner, request.caption);
    prepareFileDialog(dialog, request);

    FileDialogResult result;
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty())
        return result;
    result.accepted = true;
    result.path = dialog.selectedFiles().constFirst();
    result.filterIndex = selectedFilterIndex(dialog, request);
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
