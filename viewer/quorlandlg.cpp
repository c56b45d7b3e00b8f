#include "quorlandlg.h"

#include "aboutdlg.h"
#include "clipboard.h"
#include "commandids.h"
#include "exportcommands.h"
#include "fileread.h"
#include "imagezoom.h"
#include "menuicons.h"
#include "recentfiles.h"
#include "resources.h"
#include "uiseam.h"
#include "wsq.h"

#include <QAction>
#include <QApplication>
#include <QContextMenuEvent>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QFile>
#include <QFileInfo>
#include <QHelpEvent>
#include <QKeyEvent>
#include <QLocale>
#include <QLabel>
#include <QMenu>
#include <QMenuBar>
#include <QMimeData>
#include <QPainter>
#include <QScreen>
#include <QStatusBar>
#include <QStringDecoder>
#include <QToolTip>
#include <QUrl>
#include <QWheelEvent>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>

namespace vellumo {

// The status bar: six parts with fixed right edges, each text elided to
// its part and shown in full as a tool tip.
class CStatusParts : public QStatusBar {
public:
    explicit CStatusParts(QWidget *parent) : QStatusBar(parent)
    {
        setObjectName(QStringLiteral("statusBar"));
        setProperty("controlId", int(IDC_STATUS_BAR));
        setSizeGripEnabled(true);
        setFixedHeight(CquorlanDlg::kStatusHeight);
    }

    void SetPart(int part, const QString &text, const QString &toolTip)
    {
        if (part < 0 || part >= CquorlanDlg::kStatusParts)
            return;
        m_text[part] = text;
        m_tip[part] = toolTip.isEmpty() ? text : toolTip;
        update(PartRect(part));
    }
    QString Part(int part) const
    {
        return part >= 0 && part < CquorlanDlg::kStatusParts ? m_text[part] : QString();
    }
    QRect PartRect(int part) const
    {
        const int left = part == 0 ? 0 : CquorlanDlg::kStatusEdges[part - 1];
        return QRect(left, 0, CquorlanDlg::kStatusEdges[part] - left, height());
    }

protected:
    void paintEvent(QPaintEvent *event) override
    {
        QStatusBar::paintEvent(event);
        QPainter painter(this);
        const QColor line = palette().color(QPalette::Mid);
        for (int i = 0; i < CquorlanDlg::kStatusParts; ++i) {
            const QRect r = PartRect(i);
            if (!r.intersects(event->rect()))
                continue;
            // The last parts may reach past a narrow window: elide to what shows.
            QRect textRect = r.adjusted(6, 0, -6, 0);
            textRect.setRight(std::min(textRect.right(), width() - 22));
            painter.setPen(palette().color(QPalette::WindowText));
            painter.drawText(textRect, Qt::AlignVCenter | Qt::AlignLeft | Qt::TextSingleLine,
                             fontMetrics().elidedText(m_text[i], Qt::ElideRight, textRect.width()));
            painter.setPen(line);
            painter.drawLine(r.right(), 5, r.right(), height() - 6);
        }
    }

    bool event(QEvent *e) override
    {
        if (e->type() == QEvent::ToolTip) {
            auto *help = static_cast<QHelpEvent *>(e);
            for (int i = 0; i < CquorlanDlg::kStatusParts; ++i) {
                if (PartRect(i).contains(help->pos()) && !m_tip[i].isEmpty()) {
                    QToolTip::showText(help->globalPos(), m_tip[i], this, PartRect(i));
                    return true;
                }
            }
            QToolTip::hideText();
            e->ignore();
            return true;
        }
        return QStatusBar::event(e);
    }

private:
    QString m_text[CquorlanDlg::kStatusParts];
    QString m_tip[CquorlanDlg::kStatusParts];
};

namespace {

QString Caption() { return QStringLiteral("Vellumo"); }
const char kOpenError[] = "Error opening WSQ file";

// Comment bytes are usually ASCII; UTF-8 when valid, else Latin-1.
QString CommentText(const QByteArray &bytes)
{
    QStringDecoder utf8(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
    QString text = utf8.decode(bytes);
    if (utf8.hasError())
        text = QString::fromLatin1(bytes);
    return text;
}

void ShowOpenError(QWidget *owner, const QString &detail = QString())
{
    ui::MessageBoxRequest box;
    box.owner = owner;
    box.caption = Caption();
    box.text = QString::fromLatin1(kOpenError);
    if (!detail.isEmpty())
        box.text += QStringLiteral("\n\n") + detail;
    box.icon = QMessageBox::Warning;
    ui::showMessageBox(box);
}

} // namespace
} // namespace vellumo

using namespace vellumo;

CquorlanDlg::CquorlanDlg(const QString &startupPath, QWidget *parent) : QMainWindow(parent)
{
    vellumoInitResources();
    setObjectName(QStringLiteral("mainWindow"));
    setProperty("controlId", int(IDD_MAIN_DIALOG));
    setWindowTitle(QStringLiteral("Kestrava - Vellumo"));
    m_hIcon = VellumoAppIcon();
    setWindowIcon(m_hIcon);
    setMinimumSize(400, 300);
    setAcceptDrops(true);
    setContextMenuPolicy(Qt::DefaultContextMenu);

    m_view = new CImageZoom(this);
    m_view->setProperty("controlId", int(IDC_IMAGE_VIEW));
    m_view->m_viewMode = CImageZoom::VIEW_FIT;
    m_view->Placeholder()->clear();
    m_view->Placeholder()->hide();
    setCentralWidget(m_view);

    m_statusBar = new CStatusParts(this);
    setStatusBar(m_statusBar);

    CreateActions();
    AttachMenuIcons(menuBar());

    if (CUpdateCheck::StartupCheckEnabled())
        m_startupCheck = std::async(std::launch::async, [this] { m_updateCheck.CheckForUpdate(this, true); });

    updateActions();

    // A comfortable first size: two thirds of the screen, within limits.
    QSize size(1024, 768);
    if (const QScreen *screen = QGuiApplication::primaryScreen())
        size = size.boundedTo(screen->availableSize() * 2 / 3).expandedTo(minimumSize());
    resize(size);

    if (!startupPath.isEmpty())
        OpenPath(startupPath);
    else
        UpdateRecentFiles(nullptr);
}

CquorlanDlg::~CquorlanDlg()
{
    // The start-up check may still be talking to the network; it touches
    // this window's check object, so it has to end first.
    if (m_startupCheck.valid())
        m_startupCheck.wait();
    m_view->SetBitmap(QImage());
    m_hBitmap = QImage();
    wsq_release_current_image();
}

QAction *CquorlanDlg::AddCommand(QMenu *menu, int id, const QString &text)
{
    auto *act = new QAction(text, this);
    act->setData(id);
    connect(act, &QAction::triggered, this, [this, act] { OnCommand(act->data().toInt()); });
    if (menu)
        menu->addAction(act);
    else
        addAction(act); // a window-wide accelerator without a menu item
    m_actions.insert(id, act);
    return act;
}

void CquorlanDlg::CreateActions()
{
    QMenuBar *bar = menuBar();
    m_fileMenu = bar->addMenu(QStringLiteral("&File"));
    AddCommand(m_fileMenu, ID_CMD_OPEN, QStringLiteral("&Open"))->setShortcut(QKeySequence::Open);
    AddCommand(m_fileMenu, ID_CMD_SAVE_AS, QStringLiteral("&Save As"));
    m_recentMenu = m_fileMenu->addMenu(QStringLiteral("&Recent Files"));
    // Entries are rebuilt by UpdateRecentFiles; one handler serves them all.
    connect(m_recentMenu, &QMenu::triggered, this, [this](QAction *act) {
        const int id = act->data().toInt();
        if (id >= ID_RECENT_FILE_BASE && id <= ID_RECENT_FILE_LAST)
            OnCommand(id);
    });

    QMenu *edit = bar->addMenu(QStringLiteral("&Edit"));
    AddCommand(edit, ID_CMD_COPY, QStringLiteral("&Copy"));

    QMenu *viewMenu = bar->addMenu(QStringLiteral("&View"));
    QMenu *zoom = viewMenu->addMenu(QStringLiteral("&Zoom"));
    AddCommand(zoom, ID_CMD_ZOOM_IN, QStringLiteral("Zoom &In\tCtrl+"));
    AddCommand(zoom, ID_CMD_ZOOM_OUT, QStringLiteral("Zoom &Out\tCtrl-"));
    AddCommand(zoom, ID_CMD_ZOOM_FIT, QStringLiteral("Zoom to fit"));

    QMenu *help = bar->addMenu(QStringLiteral("&Help"));
    AddCommand(help, ID_CMD_CHECK_UPDATES, QStringLiteral("&Check for Updates"));
    AddCommand(help, ID_CMD_ABOUT, QStringLiteral("&About"));

    // Accelerators: they work whatever the menu items' states.
    AddCommand(nullptr, ID_ACC_ZOOM_IN, QStringLiteral("Zoom In"))
        ->setShortcuts({QKeySequence(Qt::CTRL | Qt::Key_Plus), QKeySequence(Qt::CTRL | Qt::Key_Equal)});
    AddCommand(nullptr, ID_ACC_ZOOM_OUT, QStringLiteral("Zoom Out"))
        ->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_Minus));
    AddCommand(nullptr, ID_ACC_COPY, QStringLiteral("Copy"))->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_C));
    AddCommand(nullptr, IDCANCEL, QStringLiteral("Close"))
        ->setShortcuts({QKeySequence(Qt::Key_Escape), QKeySequence(Qt::CTRL | Qt::Key_Q)});
}

void CquorlanDlg::updateActions()
{
    const bool shown = !m_hBitmap.isNull();
    m_actions.value(ID_CMD_COPY)->setEnabled(shown);
    m_actions.value(ID_CMD_SAVE_AS)->setEnabled(shown);
}

void CquorlanDlg::OnCommand(int id)
{
    if (id >= ID_RECENT_FILE_BASE && id <= ID_RECENT_FILE_LAST) {
        OnRecentFile(id);
        return;
    }
    switch (id) {
    case ID_CMD_OPEN: OnOpen(); break;
    case ID_CMD_SAVE_AS: SaveAsCommand(this, wsq_current_image()); break;
    case ID_CMD_COPY:
    case ID_ACC_COPY: CopyImageToClipboard(m_hBitmap.isNull() ? nullptr : &m_hBitmap, this); break;
    case ID_CMD_ZOOM_IN:
    case ID_ACC_ZOOM_IN: OnZoom(0.2f); break;
    case ID_CMD_ZOOM_OUT:
    case ID_ACC_ZOOM_OUT: OnZoom(-0.2f); break;
    case ID_CMD_ZOOM_FIT: OnZoomFit(); break;
    case ID_CMD_CHECK_UPDATES: OnCheckForUpdates(); break;
    case ID_CMD_ABOUT: OnAbout(); break;
    case IDCANCEL: close(); break;
    case IDOK:
    case IDC_PICTURE_DUMMY: break; // Enter does not close the window
    default: break;
    }
}

void CquorlanDlg::OnOpen()
{
    ui::FileDialogRequest request;
    request.kind = ui::FileDialogRequest::Open;
    request.owner = this;
    request.caption = QStringLiteral("Open");
    request.filters = {QStringLiteral("All Files (*.*)"), QStringLiteral("WSQ Files (*.wsq)")};
    request.selectedFilter = 0;
    const ui::FileDialogResult result = ui::runFileDialog(request);
    if (!result.accepted || result.path.isEmpty())
        return;
    OpenPath(result.path);
}

void CquorlanDlg::OnZoom(float step)
{
    m_view->m_viewMode = CImageZoom::VIEW_ZOOM;
    m_view->SetZoom(m_view->m_zoom + step);
    m_view->update(); // a clamped request still shows the switch to zoom mode
}

void CquorlanDlg::OnZoomFit()
{
    m_view->m_viewMode = CImageZoom::VIEW_FIT;
    m_view->update();
}

void CquorlanDlg::OnCheckForUpdates()
{
    // The check shows its own wait cursor while it runs.
    CUpdateCheck check;
    check.CheckForUpdate(CUpdateCheck::DefaultAddress(), this);
}

void CquorlanDlg::OnAbout()
{
    CAboutDlg dialog(this);
    ui::execModal(dialog);
}

void CquorlanDlg::OnRecentFile(int id)
{
    const int index = id - ID_RECENT_FILE_BASE;
    if (index < 0 || index >= m_recentPaths.size())
        return;
    const QString path = m_recentPaths.at(index); // the list is rebuilt below
    OpenPath(path);
}

void CquorlanDlg::OpenPath(const QString &path)
{
    // The title names the file before it loads, and keeps naming it when
    // the load fails.
    setWindowTitle(QStringLiteral("Kestrava - Vellumo - %1").arg(path));
    LoadAndShowFile(path);
}

void CquorlanDlg::UpdateRecentFiles(const QString *path)
{
    m_recentPaths = vellumo::UpdateRecentFiles(m_recentMenu, path);
}

void CquorlanDlg::SetStatus(int part, const QString &text, const QString &toolTip)
{
    m_statusBar->SetPart(part, text, toolTip);
}

QString CquorlanDlg::statusText(int part) const
{
    return m_statusBar->Part(part);
}

bool CquorlanDlg::LoadAndShowFile(const QString &path)
{
    // The previous image goes first, so that only one is ever held; a
    // file that cannot be opened leaves an empty window, with a message
    // that says why.
    m_hBitmap = QImage();
    m_view->SetBitmap(QImage());
    wsq_release_current_image();

    const FileReadResult file = ReadWholeFile(path);
    const auto *data = reinterpret_cast<const unsigned char *>(file.data.constData());
    const int size = file.failure == ReadFailure::None ? int(file.data.size()) : 0;
    const QString name = QFileInfo(path).fileName();

    int headerWidth = 0, headerHeight = 0, encoder = 0, implementation = 0;
    QByteArray comment;
    QString problem;
    QImage bitmap;
    if (file.failure != ReadFailure::None) {
        problem = ReadFailureText(path, file);
    } else if (size == 0) {
        problem = QStringLiteral("%1 is empty (0 bytes).").arg(name);
    } else {
        wsq_query_header(data, size, &headerWidth, &headerHeight, &encoder, &implementation);
        int commentSize = 0;
        if (wsq_query_comment(data, size, nullptr, &commentSize) >= 0 && commentSize > 1) {
            comment.resize(commentSize);
            if (wsq_query_comment(data, size, comment.data(), &commentSize) >= 0)
                comment.truncate(qstrnlen(comment.constData(), comment.size()));
            else
                comment.clear();
        }

        const QString foreign = ForeignImageKind(data, size);
        const long long pixels = (long long)headerWidth * headerHeight;
        if (!foreign.isEmpty()) {
            problem = QStringLiteral("%1 is %2, not a WSQ file.").arg(name, foreign);
        } else if (size < 2 || data[0] != 0xFF || data[1] != 0xA0) {
            problem = QStringLiteral("%1 is not a WSQ file.").arg(name);
        } else if (pixels > kMaxPixels) {
            // Refused from the header alone: the decode would need several
            // bytes of memory per pixel before it found anything wrong.
            const QLocale locale;
            problem = QStringLiteral("%1 is an image of %2 \u00d7 %3 pixels. Vellumo opens images of up to "
                                     "%4 pixels.")
                          .arg(name, QString::number(headerWidth), QString::number(headerHeight),
                               locale.toString(kMaxPixels));
        } else {
            bitmap = CreateDisplayBitmap(data, size);
        }
    }
    if (!problem.isEmpty())
        ShowOpenError(this, problem);

    const bool shown = !bitmap.isNull();
    m_hBitmap = bitmap;
    const GrayImage *current = wsq_current_image();

    // Header pixels per file byte; 64-bit, as 65535 x 65535 does not fit 32.
    const long long ratio = size > 0 ? (long long)headerWidth * headerHeight / size : 0;
    const QString commentText = CommentText(comment);
    QString commentLine = commentText;
    commentLine.replace(QLatin1String("\r\n"), QLatin1String(" "));
    for (QChar &c : commentLine)
        if (c == u'\n' || c == u'\r' || c == u'\t')
            c = u' ';
    SetStatus(0, QStringLiteral("Width: %1").arg(current->width));
    SetStatus(1, QStringLiteral("Height: %1").arg(current->height));
    SetStatus(2, QStringLiteral("Implementation: %1").arg(implementation));
    SetStatus(3, QStringLiteral("Encoder: %1").arg(encoder));
    SetStatus(4, QStringLiteral("Ratio: %1:1").arg(ratio));
    SetStatus(5, QStringLiteral("Comment: %1").arg(commentLine), commentText);

    if (shown) {
        UpdateRecentFiles(&path);
        m_view->SetBitmap(m_hBitmap);
    } else {
        UpdateRecentFiles(nullptr);
        m_view->SetBitmap(QImage());
    }
    updateActions();
    m_view->update();
    return shown;
}

QImage CquorlanDlg::CreateDisplayBitmap(const unsigned char *data, int size)
{
    GrayImage decoded{};
    const int status = wsq_decode_image(data, size, &decoded);
    if (status < 0) {
        ShowOpenError(nullptr, QStringLiteral("The file could not be decoded (%1).")
                                   .arg(QString::fromLatin1(wsq_status_text(status))));
        return QImage();
    }

    // Level i shows as r = g = b = i, top row first.
    QImage bitmap;
    try {
        bitmap = QImage(decoded.width, decoded.height, QImage::Format_Grayscale8);
    } catch (const std::bad_alloc &) {
        bitmap = QImage();
    }
    if (bitmap.isNull() || !decoded.pixels) {
        wsq_free_image(&decoded);
        ShowOpenError(nullptr, QStringLiteral("There is not enough memory to show the image."));
        return QImage();
    }
    const unsigned char *src = decoded.pixels;
    for (int y = 0; y < decoded.height; ++y, src += decoded.width)
        std::memcpy(bitmap.scanLine(y), src, std::size_t(decoded.width));

    wsq_release_current_image();
    *wsq_current_image() = decoded; // the slot owns the pixels from here on
    return bitmap;
}

void CquorlanDlg::keyPressEvent(QKeyEvent *event)
{
    // Enter does nothing here; Escape closes through its shortcut.
    if (event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter) {
        OnCommand(IDOK);
        event->accept();
        return;
    }
    QMainWindow::keyPressEvent(event);
}

void CquorlanDlg::wheelEvent(QWheelEvent *event)
{
    const int delta = event->angleDelta().y();
    if (delta == 0) {
        event->ignore();
        return;
    }
    m_view->m_viewMode = CImageZoom::VIEW_ZOOM;
    m_view->SetZoom(float(double(m_view->m_zoom) + delta / 600.0));
    m_view->update();
    event->accept();
}

void CquorlanDlg::contextMenuEvent(QContextMenuEvent *event)
{
    // Reaches here when the view found no marker under the pointer.
    ImageContextMenu(this, m_view, event->globalPos(), wsq_current_image(),
                     m_hBitmap.isNull() ? nullptr : &m_hBitmap);
    event->accept();
}

void CquorlanDlg::dragEnterEvent(QDragEnterEvent *event)
{
    const QList<QUrl> urls = event->mimeData()->urls();
    if (urls.size() == 1 && urls.front().isLocalFile())
        event->acceptProposedAction();
    else
        event->ignore();
}

void CquorlanDlg::dropEvent(QDropEvent *event)
{
    const QList<QUrl> urls = event->mimeData()->urls();
    if (urls.size() != 1) // exactly one file, or nothing happens
        return;
    const QString path = urls.front().toLocalFile();
    if (!path.isEmpty()) {
        event->acceptProposedAction();
        activateWindow();
        OpenPath(path);
    }
}
