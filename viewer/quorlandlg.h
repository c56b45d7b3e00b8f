// quorlandlg.h - the main window: menu bar, image view, six-part status
// bar, and every way of opening a file (dialog, drop, command line, recent
// files) into one open-and-show pipeline.
#pragma once

#include <QHash>
#include <QIcon>
#include <QImage>
#include <QMainWindow>
#include <QStringList>

#include <future>

#include "updatecheck.h"

class CImageZoom;
class QAction;
class QMenu;

namespace vellumo {
class CStatusParts;
}

class CquorlanDlg : public QMainWindow {
    Q_OBJECT
public:
    // Window commands without a menu item: Enter (ignored), Escape and
    // Ctrl+Q (close).
    enum : int { IDOK = 1, IDCANCEL = 2, IDC_PICTURE_DUMMY = 1002 };

    static constexpr int kStatusParts = 6;
    static constexpr int kStatusEdges[kStatusParts] = {90, 180, 350, 450, 550, 1250};
    static constexpr int kStatusHeight = 25;
    // Images whose frame header claims more pixels are refused undecoded.
    static constexpr long long kMaxPixels = 1LL << 28;

    // startupPath: the file named on the command line, or empty.
    explicit CquorlanDlg(const QString &startupPath = QString(), QWidget *parent = nullptr);
    ~CquorlanDlg() override;

    // The pipeline behind every open: read, query, decode, show. True when
    // the file is on show; on failure an image already shown stays, with
    // its status bar and the current image untouched.
    bool LoadAndShowFile(const QString &path);
    // Decodes and builds the 8-bit gray display bitmap; on success the
    // decoded image becomes the current image. A null image (after the
    // error message) on failure, with the current image left as it was.
    QImage CreateDisplayBitmap(const unsigned char *data, int size);
    // Sets the title from the path, then runs the pipeline; the title goes
    // back when the file fails and the previous image stays.
    void OpenPath(const QString &path);
    // Rebuilds File > Recent Files, first putting path on top when given.
    void UpdateRecentFiles(const QString *path);

    // The one dispatch from command id to handler.
    void OnCommand(int id);
    // Enabled states of the commands that need an image.
    void updateActions();

    QAction *action(int id) const { return m_actions.value(id); }
    QMenu *recentFilesMenu() const { return m_recentMenu; }
    const QStringList &recentPaths() const { return m_recentPaths; }
    CImageZoom *view() const { return m_view; }
    const QImage &displayBitmap() const { return m_hBitmap; }
    QString statusText(int part) const;

protected:
    void keyPressEvent(QKeyEvent *event) override;
    void wheelEvent(QWheelEvent *event) override;
    void contextMenuEvent(QContextMenuEvent *event) override;
    void dragEnterEvent(QDragEnterEvent *event) override;
    void dropEvent(QDropEvent *event) override;

private:
    void CreateActions();
    QAction *AddCommand(QMenu *menu, int id, const QString &text);
    void OnOpen();
    void OnZoom(float step);
    void OnZoomFit();
    void OnCheckForUpdates();
    void OnAbout();
    void OnRecentFile(int id);
    void SetStatus(int part, const QString &text, const QString &toolTip = QString());

    QIcon m_hIcon;
    QImage m_hBitmap;
    vellumo::CStatusParts *m_statusBar = nullptr;
    CUpdateCheck m_updateCheck;
    std::future<void> m_startupCheck;
    CImageZoom *m_view = nullptr;

    QHash<int, QAction *> m_actions;
    QMenu *m_fileMenu = nullptr;
    QMenu *m_recentMenu = nullptr;
    QStringList m_recentPaths;
};
