// uiseam.h - the one place where the viewer and the update check show
// modal UI: message boxes, file dialogs and modal dialogs. Production code
// calls these functions; tests install handlers that observe the request
// and answer it, so no test ever blocks on a modal loop.
#pragma once

#include <QMessageBox>
#include <QString>
#include <QStringList>
#include <functional>

class QDialog;
class QFileDialog;
class QMenu;
class QPoint;
class QWidget;

namespace vellumo::ui {

struct MessageBoxRequest {
    QWidget *owner = nullptr;
    QString caption;
    QString text;
    QMessageBox::Icon icon = QMessageBox::NoIcon;
};
using MessageBoxHandler = std::function<void(const MessageBoxRequest &)>;

// Shows an application-modal message box with one OK button.
void showMessageBox(const MessageBoxRequest &request);
// Installs a handler in place of the real box; an empty handler restores it.
void setMessageBoxHandler(MessageBoxHandler handler);

struct FileDialogRequest {
    enum Kind { Open, Save };
    Kind kind = Open;
    QWidget *owner = nullptr;
    QString caption;
    QStringList filters;          // e.g. "BMP File (*.bmp)", in order
    int selectedFilter = 0;       // index into filters preselected
    QString defaultSuffix;        // without the dot; empty for none
    bool confirmOverwrite = true; // Save: ask before replacing a file
};
struct FileDialogResult {
    bool accepted = false;
    QString path;        // full path, every character kept
    int filterIndex = 0; // index into request.filters of the chosen type
};
using FileDialogHandler = std::function<FileDialogResult(const FileDialogRequest &)>;

FileDialogResult runFileDialog(const FileDialogRequest &request);
void setFileDialogHandler(FileDialogHandler handler);

// The filter a dialog matches names with for a visible filter text. "*.*"
// means every file, as it does on Windows: here it would hide names
// without a dot, so "All Files (*.*)" matches by "All Files (*)".
QString dialogNameFilter(const QString &visible);
// Sets up the real dialog for a request: kind, filters (shown with their
// texts as given), the preselected filter, the suffix and overwrite rules.
void prepareFileDialog(QFileDialog &dialog, const FileDialogRequest &request);
// The index into request.filters of the dialog's selected filter.
int selectedFilterIndex(const QFileDialog &dialog, const FileDialogRequest &request);

// Runs a dialog modally and returns its result code. A test handler gets
// the constructed, initialised dialog instead and returns the result.
using ModalHandler = std::function<int(QDialog &)>;
int execModal(QDialog &dialog);
void setModalHandler(ModalHandler handler);

// Shows a popup menu at a screen position and returns the data() id of the
// chosen action as an int, 0 when dismissed. A test handler gets the built
// menu (enabled states, check marks, texts) and returns the id to choose.
using PopupMenuHandler = std::function<int(QMenu &, const QPoint &)>;
int execPopupMenu(QMenu &menu, const QPoint &globalPos);
void setPopupMenuHandler(PopupMenuHandler handler);

} // namespace vellumo::ui
