// The main window: menus and accelerators, keys, wheel, drops, and the
// open-and-show pipeline on real, crafted and hostile files.
#include <QtTest>

#include <QApplication>
#include <QMenuBar>
#include <QMimeData>
#include <QScrollBar>
#include <QStatusBar>

#include <cerrno>
#include <cstring>
#include <thread>
#include <sys/stat.h>

#include "commandids.h"
#include "imagezoom.h"
#include "menuicons.h"
#include "quorlanapp.h"
#include "quorlandlg.h"
#include "viewertestenv.h"
#include "wsq.h"
#include "wsq_encoder.h"

using namespace vellumo;

namespace {

QAction *MenuAction(QMenu *menu, const QString &text)
{
    for (QAction *a : menu->actions())
        if (a->text() == text)
            return a;
    return nullptr;
}

QMenu *BarMenu(QMainWindow &w, const QString &title)
{
    for (QAction *a : w.menuBar()->actions())
        if (a->text() == title)
            return a->menu();
    return nullptr;
}

void Drop(QWidget &target, const QList<QUrl> &urls)
{
    QMimeData mime;
    mime.setUrls(urls);
    QDragEnterEvent enter(QPoint(50, 50), Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
    QCoreApplication::sendEvent(&target, &enter);
    QDropEvent drop(QPointF(50, 50), Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
    QCoreApplication::sendEvent(&target, &drop);
}

void Wheel(QWidget *over, int delta)
{
    const QPointF pos(over->width() / 2.0, over->height() / 2.0);
    QWheelEvent wheel(pos, over->mapToGlobal(pos), QPoint(), QPoint(0, delta), Qt::NoButton, Qt::NoModifier,
                      Qt::NoScrollPhase, false);
    QCoreApplication::sendEvent(over, &wheel);
}

} // namespace

class TestMainWindow : public QObject {
    Q_OBJECT
    ViewerTestEnv env;
    QTemporaryDir files;

private slots:
    void initTestCase();
    void init();
    void cleanup();

    // Window
    void menuTextsAndCommands_data();
    void menuTextsAndCommands();
    void greyedUntilImageAndCopyAcceleratorWorks();
    void enterDoesNotCloseEscapeDoes();
    void minimumSize();
    void wheelZoomsAndFitReturns();
    void zoomAccelerators();
    void drops();
    void openDialog();
    void commandLine_data();
    void commandLine();
    void startUpSettingsAndIcon();

    // Pipeline
    void emptyFileIsDecodeError();
    void ratioAndHeaderOnFailure_data();
    void ratioAndHeaderOnFailure();
    void refusesHugeFramesBeforeDecoding();
    void realFileShowsEveryPixel();
    void oddWidthWithoutSkew_data();
    void oddWidthWithoutSkew();
    void secondFileReplacesFirst();
    void pathsKeepEveryCharacter();
};

void TestMainWindow::initTestCase()
{
    env.Install();
    QVERIFY(files.isValid());
}

void TestMainWindow::init() { env.Reset(); }

void TestMainWindow::cleanup() { wsq_release_current_image(); }

void TestMainWindow::menuTextsAndCommands_data()
{
    QTest::addColumn<QString>("popup");
    QTest::addColumn<QString>("submenu");
    QTest::addColumn<QString>("text");
    QTest::addColumn<int>("id");

    QTest::newRow("open") << "&File" << "" << "&Open" << int(ID_CMD_OPEN);
    QTest::newRow("save as") << "&File" << "" << "&Save As" << int(ID_CMD_SAVE_AS);
    QTest::newRow("copy") << "&Edit" << "" << "&Copy" << int(ID_CMD_COPY);
    QTest::newRow("zoom in") << "&View" << "&Zoom" << "Zoom &In\tCtrl+" << int(ID_CMD_ZOOM_IN);
    QTest::newRow("zoom out") << "&View" << "&Zoom" << "Zoom &Out\tCtrl-" << int(ID_CMD_ZOOM_OUT);
    QTest::newRow("zoom fit") << "&View" << "&Zoom" << "Zoom to fit" << int(ID_CMD_ZOOM_FIT);
    QTest::newRow("updates") << "&Help" << "" << "&Check for Updates" << int(ID_CMD_CHECK_UPDATES);
    QTest::newRow("about") << "&Help" << "" << "&About" << int(ID_CMD_ABOUT);
}

void TestMainWindow::menuTextsAndCommands()
{
    QFETCH(QString, popup);
    QFETCH(QString, submenu);
    QFETCH(QString, text);
    QFETCH(int, id);

    CquorlanDlg w;
    QStringList titles;
    for (QAction *a : w.menuBar()->actions())
        titles << a->text();
    QCOMPARE(titles, (QStringList{"&File", "&Edit", "&View", "&Help"}));

    QMenu *menu = BarMenu(w, popup);
    QVERIFY(menu);
    if (!submenu.isEmpty()) {
        QAction *sub = MenuAction(menu, submenu);
        QVERIFY(sub && sub->menu());
        menu = sub->menu();
    }
    QAction *item = MenuAction(menu, text);
    QVERIFY2(item, qPrintable(text));
    QCOMPARE(item->data().toInt(), id);
    QCOMPARE(w.action(id), item);

    // The File popup: Open, Save As, then Recent Files at position 2.
    QMenu *file = BarMenu(w, "&File");
    QCOMPARE(file->actions().at(2)->text(), QStringLiteral("&Recent Files"));
    QCOMPARE(file->actions().at(2)->menu(), w.recentFilesMenu());
}

void TestMainWindow::greyedUntilImageAndCopyAcceleratorWorks()
{
    const QString sample = SharedSample("nist-sample-256x256.wsq");
    CquorlanDlg w;
    w.show();
    QVERIFY(QTest::qWaitForWindowActive(&w));
    QVERIFY(!w.action(ID_CMD_COPY)->isEnabled());
    QVERIFY(!w.action(ID_CMD_SAVE_AS)->isEnabled());

    // Ctrl+C with no image reaches the copy command and does no harm.
    QSignalSpy copies(w.action(ID_ACC_COPY), &QAction::triggered);
    QTest::keyClick(&w, Qt::Key_C, Qt::ControlModifier);
    QCOMPARE(copies.count(), 1);
    QVERIFY(env.messages.isEmpty());

    if (sample.isEmpty())
        QSKIP("shared sample data not present");
    w.OpenPath(sample);
    QVERIFY(w.action(ID_CMD_COPY)->isEnabled());
    QVERIFY(w.action(ID_CMD_SAVE_AS)->isEnabled());
    // A file that fails afterwards greys them again.
    w.OpenPath(files.filePath("missing.wsq"));
    QVERIFY(!w.action(ID_CMD_COPY)->isEnabled());
    QVERIFY(!w.action(ID_CMD_SAVE_AS)->isEnabled());
    QVERIFY(w.view()->Bitmap().isNull());
}

void TestMainWindow::enterDoesNotCloseEscapeDoes()
{
    CquorlanDlg w;
    w.show();
    QVERIFY(QTest::qWaitForWindowActive(&w));
    QTest::keyClick(&w, Qt::Key_Return);
    QTest::keyClick(&w, Qt::Key_Enter, Qt::KeypadModifier);
    QVERIFY(w.isVisible());
    QTest::keyClick(&w, Qt::Key_Escape);
    QVERIFY(!w.isVisible());
}

void TestMainWindow::minimumSize()
{
    CquorlanDlg w;
    w.show();
    QVERIFY(QTest::qWaitForWindowExposed(&w));
    QCOMPARE(w.minimumSize(), QSize(400, 300));
    w.resize(200, 100);
    QTRY_VERIFY(w.width() >= 400 && w.height() >= 300);
    // The view fills the window above the status bar.
    QCOMPARE(w.statusBar()->height(), CquorlanDlg::kStatusHeight);
    QCOMPARE(w.view()->geometry().bottom() + 1, w.statusBar()->geometry().top());
    QCOMPARE(w.view()->width(), w.width());
}

void TestMainWindow::wheelZoomsAndFitReturns()
{
    CquorlanDlg w;
    w.show();
    QVERIFY(QTest::qWaitForWindowExposed(&w));
    CImageZoom *view = w.view();
    QImage img(400, 300, QImage::Format_Grayscale8);
    img.fill(128);
    view->SetBitmap(img);
    view->repaint(); // works out the fit factor
    const float fit = view->m_zoom;
    QVERIFY(fit > 1.0f && fit < 2.5f);
    QCOMPARE(view->m_viewMode, int(CImageZoom::VIEW_FIT));

    // The view leaves the wheel to the window, which zooms.
    Wheel(&w, 120);
    QCOMPARE(view->m_viewMode, int(CImageZoom::VIEW_ZOOM));
    QCOMPARE(view->m_zoom, float(double(fit) + 0.2));
    const float before = view->m_zoom;
    Wheel(&w, -240);
    QCOMPARE(view->m_zoom, float(double(before) - 0.4));

    w.OnCommand(ID_CMD_ZOOM_FIT);
    QCOMPARE(view->m_viewMode, int(CImageZoom::VIEW_FIT));
    view->repaint();
    QCOMPARE(view->m_zoom, fit);
    QVERIFY(view->HorizontalBar()->isHidden());
}

void TestMainWindow::zoomAccelerators()
{
    CquorlanDlg w;
    w.show();
    QVERIFY(QTest::qWaitForWindowActive(&w));
    CImageZoom *view = w.view();
    view->m_zoom = 1.0f;
    view->m_viewMode = CImageZoom::VIEW_ZOOM;

    QTest::keyClick(&w, Qt::Key_Plus, Qt::ControlModifier);
    QCOMPARE(view->m_zoom, 1.2f);
    QTest::keyClick(&w, Qt::Key_Equal, Qt::ControlModifier); // keyboards without a plus key
    QCOMPARE(view->m_zoom, 1.2f + 0.2f);
    QTest::keyClick(&w, Qt::Key_Minus, Qt::ControlModifier);
    QCOMPARE(view->m_zoom, 1.2f + 0.2f - 0.2f);
    // The menu commands do the same.
    w.action(ID_CMD_ZOOM_OUT)->trigger();
    QCOMPARE(view->m_zoom, 1.2f + 0.2f - 0.2f - 0.2f);
}

void TestMainWindow::drops()
{
    const QString sample = SharedSample("nist-sample-256x256.wsq");
    CquorlanDlg w;
    const QString title = w.windowTitle();
    QCOMPARE(title, QStringLiteral("Kestrava - Vellumo"));

    // Two files at once: nothing at all.
    Drop(w, {QUrl::fromLocalFile("/tmp/a.wsq"), QUrl::fromLocalFile("/tmp/b.wsq")});
    QCOMPARE(w.windowTitle(), title);
    QVERIFY(env.messages.isEmpty());
    QCOMPARE(w.statusText(0), QString());

    // Exactly one file opens it.
    const QString one = files.filePath("dropped.wsq");
    Drop(w, {QUrl::fromLocalFile(one)});
    QCOMPARE(w.windowTitle(), QStringLiteral("Kestrava - Vellumo - ") + one);
    QCOMPARE(w.statusText(0), QStringLiteral("Width: 0"));
    if (sample.isEmpty())
        QSKIP("shared sample data not present");
    Drop(w, {QUrl::fromLocalFile(sample)});
    QCOMPARE(w.statusText(0), QStringLiteral("Width: 256"));
}

void TestMainWindow::openDialog()
{
    CquorlanDlg w;
    QList<ui::FileDialogRequest> requests;
    ui::setFileDialogHandler([&](const ui::FileDialogRequest &r) {
        requests << r;
        ui::FileDialogResult result;
        result.accepted = r.owner != nullptr && requests.size() == 2;
        result.path = files.filePath("chosen.wsq");
        return result;
    });
    w.OnCommand(ID_CMD_OPEN); // cancelled
    QCOMPARE(w.windowTitle(), QStringLiteral("Kestrava - Vellumo"));
    w.OnCommand(ID_CMD_OPEN);
    QCOMPARE(w.windowTitle(), QStringLiteral("Kestrava - Vellumo - ") + files.filePath("chosen.wsq"));
    QCOMPARE(requests.size(), 2);
    QCOMPARE(requests[0].kind, ui::FileDialogRequest::Open);
    QCOMPARE(requests[0].filters, (QStringList{"All Files (*.*)", "WSQ Files (*.wsq)"}));
    QCOMPARE(requests[0].selectedFilter, 0);
    env.Install(); // restore the shared handlers
}

void TestMainWindow::commandLine_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QString>("path");

    QTest::newRow("none") << QStringList{"vellumo"} << "";
    QTest::newRow("plain") << QStringList{"vellumo", "/data/print.wsq"} << "/data/print.wsq";
    QTest::newRow("spaces, one argument") << QStringList{"vellumo", "/data/my prints/left thumb.wsq"}
                                          << "/data/my prints/left thumb.wsq";
    QTest::newRow("relative made full") << QStringList{"vellumo", "print.wsq"}
                                        << QDir::current().absoluteFilePath("print.wsq");
    QTest::newRow("file uri") << QStringList{"vellumo", "file:///data/my%20prints/l%C3%A9.wsq"}
                              << QString::fromUtf8("/data/my prints/lé.wsq");
    QTest::newRow("first of two") << QStringList{"vellumo", "/p/a.wsq", "/p/b.wsq"} << "/p/a.wsq";
    QTest::newRow("unknown option skipped") << QStringList{"vellumo", "--sync", "/p/a.wsq"} << "/p/a.wsq";
    QTest::newRow("after --") << QStringList{"vellumo", "--", "/p/-odd.wsq"} << "/p/-odd.wsq";
}

void TestMainWindow::commandLine()
{
    QFETCH(QStringList, arguments);
    QFETCH(QString, path);
    QCOMPARE(CquorlanApp::StartupPathFromArguments(arguments), path);

    // The start-up path opens as the File menu would, title included.
    if (!path.isEmpty() && QTest::currentDataTag() == QByteArray("plain")) {
        CquorlanDlg w(path);
        QCOMPARE(w.windowTitle(), QStringLiteral("Kestrava - Vellumo - /data/print.wsq"));
        QCOMPARE(w.statusText(4), QStringLiteral("Ratio: 0:1"));
    }
}

void TestMainWindow::startUpSettingsAndIcon()
{
    // Start-up lets a decode use every core (the library's default is one).
    const int before = wsq_set_decode_threads(1);
    CquorlanApp::InitProcess();
    const int cores = int(std::max(1u, std::thread::hardware_concurrency()));
    QCOMPARE(wsq_decode_threads(), std::min(cores, 64));
    wsq_set_decode_threads(before);

    // The application and the main window carry the product icon with all
    // its drawn sizes, not a single scalable picture.
    const QList<QSize> sizes = VellumoAppIcon().availableSizes();
    QVERIFY(sizes.contains(QSize(16, 16)) && sizes.contains(QSize(256, 256)));
    QCOMPARE(QApplication::windowIcon().availableSizes(), sizes);
    CquorlanDlg w;
    QCOMPARE(w.windowIcon().availableSizes(), sizes);
}

void TestMainWindow::emptyFileIsDecodeError()
{
    const QString path = WriteFile(files.filePath("empty.wsq"), QByteArray());
    CquorlanDlg w;
    w.OpenPath(path);
    QCOMPARE(env.messages.size(), 1);
    QCOMPARE(env.messages.front().text, QStringLiteral("Error opening WSQ file\n\nempty.wsq is empty (0 bytes)."));
    QCOMPARE(env.messages.front().caption, QStringLiteral("Vellumo"));
    QCOMPARE(w.statusText(4), QStringLiteral("Ratio: 0:1"));
    QVERIFY(w.displayBitmap().isNull());
    QVERIFY(w.recentPaths().isEmpty());
}

void TestMainWindow::ratioAndHeaderOnFailure_data()
{
    QTest::addColumn<int>("width");
    QTest::addColumn<int>("height");
    QTest::addColumn<int>("fileSize");
    QTest::addColumn<QByteArray>("comment");
    QTest::addColumn<QString>("ratio");
    QTest::addColumn<QString>("commentPart");

    QTest::newRow("ratio 10") << 500 << 500 << 25000 << QByteArray() << "Ratio: 10:1" << "Comment: ";
    QTest::newRow("ratio truncates") << 500 << 500 << 20000 << QByteArray() << "Ratio: 12:1" << "Comment: ";
    QTest::newRow("below 1 shows 0") << 10 << 10 << 25000 << QByteArray() << "Ratio: 0:1" << "Comment: ";
    QTest::newRow("no 32-bit overflow") << 65535 << 65535 << 1000 << QByteArray() << "Ratio: 4294836:1"
                                        << "Comment: ";
    QTest::newRow("comment lines joined") << 400 << 400 << 4000 << QByteArray("Scanner 7\nsite B")
                                          << "Ratio: 40:1" << "Comment: Scanner 7 site B";
    QTest::newRow("latin-1 comment") << 400 << 400 << 4000 << QByteArray("Z\xFCrich") << "Ratio: 40:1"
                                     << QString::fromUtf8("Comment: Zürich");
    QTest::newRow("long comment whole") << 400 << 400 << 4000 << QByteArray(300, 'c') << "Ratio: 40:1"
                                        << "Comment: " + QString(300, 'c');
}

void TestMainWindow::ratioAndHeaderOnFailure()
{
    QFETCH(int, width);
    QFETCH(int, height);
    QFETCH(int, fileSize);
    QFETCH(QByteArray, comment);
    QFETCH(QString, ratio);
    QFETCH(QString, commentPart);

    // 65535 x 65535 claims more pixels than the viewer opens: that message
    // comes instead of the decode error, the numbers are the same.
    const QString path = WriteFile(files.filePath("header.wsq"),
                                   HeaderOnlyCodestream(width, height, 7, 4711, comment, fileSize));
    CquorlanDlg w;
    w.OpenPath(path);
    QCOMPARE(env.messages.size(), 1);
    QVERIFY(env.messages.front().text.startsWith("Error opening WSQ file"));
    QCOMPARE(w.statusText(0), QStringLiteral("Width: 0"));
    QCOMPARE(w.statusText(1), QStringLiteral("Height: 0"));
    QCOMPARE(w.statusText(2), QStringLiteral("Implementation: 4711"));
    QCOMPARE(w.statusText(3), QStringLiteral("Encoder: 7"));
    QCOMPARE(w.statusText(4), ratio);
    QCOMPARE(w.statusText(5), commentPart);
    QVERIFY(w.recentPaths().isEmpty()); // a failed file is never added
}

void TestMainWindow::refusesHugeFramesBeforeDecoding()
{
    // 16385 x 16384 is just above 2^28 pixels: refused from the header alone
    // (decoding would need gigabytes before it found anything wrong).
    const QString over = WriteFile(files.filePath("huge.wsq"), HeaderOnlyCodestream(16385, 16384, 0, 0, {}, 100));
    CquorlanDlg w;
    QElapsedTimer timer;
    timer.start();
    w.OpenPath(over);
    QVERIFY(timer.elapsed() < 2000);
    QCOMPARE(env.messages.size(), 1);
    QVERIFY(env.messages[0].text.startsWith("Error opening WSQ file\n\n"));
    QVERIFY2(env.messages[0].text.contains("16385"), qPrintable(env.messages[0].text));
    QCOMPARE(env.messages[0].caption, QStringLiteral("Vellumo"));
    QCOMPARE(w.statusText(4), QStringLiteral("Ratio: 2684518:1"));
    QVERIFY(!wsq_current_image()->pixels);
}

void TestMainWindow::realFileShowsEveryPixel()
{
    const QString sample = SharedSample("nist-sample-thumb-412x1000.wsq");
    if (sample.isEmpty())
        QSKIP("shared sample data not present");
    CquorlanDlg w;
    w.OpenPath(sample);
    QVERIFY(env.messages.isEmpty());
    QCOMPARE(w.statusText(0), QStringLiteral("Width: 412"));
    QCOMPARE(w.statusText(1), QStringLiteral("Height: 1000"));
    QCOMPARE(w.statusText(2), QStringLiteral("Implementation: 0"));
    QCOMPARE(w.statusText(3), QStringLiteral("Encoder: 0"));
    QVERIFY(w.statusText(5).startsWith("Comment: NIST_COM"));

    // The display bitmap is the decoded image, level for level, upright.
    const QImage &bitmap = w.displayBitmap();
    const GrayImage *current = wsq_current_image();
    QCOMPARE(bitmap.format(), QImage::Format_Grayscale8);
    QCOMPARE(bitmap.size(), QSize(current->width, current->height));
    for (int y = 0; y < bitmap.height(); ++y)
        QVERIFY(std::memcmp(bitmap.constScanLine(y), current->pixels + std::size_t(y) * 412, 412) == 0);
    QCOMPARE(w.view()->Bitmap().cacheKey(), bitmap.cacheKey());
    QCOMPARE(w.recentPaths(), QStringList{sample});
}

void TestMainWindow::oddWidthWithoutSkew_data()
{
    QTest::addColumn<int>("width");
    QTest::addColumn<int>("height");
    QTest::newRow("3 x 5") << 3 << 5;
    QTest::newRow("333 x 201") << 333 << 201;
    QTest::newRow("even 334 x 200") << 334 << 200;
}

void TestMainWindow::oddWidthWithoutSkew()
{
    QFETCH(int, width);
    QFETCH(int, height);
    // Diagonal stripes: any row shift would show as a broken diagonal.
    QByteArray pixels(width * height, '\0');
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x)
            pixels[y * width + x] = char(((x + y) / 4 % 2) ? 230 : 30);
    WsqEncodeParams params;
    wsq_encode_default_params(&params);
    params.bitrate = 2.25f;
    unsigned char *out = nullptr;
    int outLength = 0;
    QCOMPARE(wsq_encode(reinterpret_cast<const unsigned char *>(pixels.constData()), width, height, &params, &out,
                        &outLength, nullptr),
             0);
    const QString path = WriteFile(files.filePath("odd.wsq"), QByteArray(reinterpret_cast<char *>(out), outLength));
    std::free(out);

    CquorlanDlg w;
    w.OpenPath(path);
    QVERIFY(env.messages.isEmpty());
    QCOMPARE(w.statusText(0), QStringLiteral("Width: %1").arg(width));
    const GrayImage *current = wsq_current_image();
    const QImage &bitmap = w.displayBitmap();
    QCOMPARE(bitmap.size(), QSize(width, height));
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x)
            QCOMPARE(int(bitmap.constScanLine(y)[x]), int(current->pixels[y * width + x]));

    // On screen at 1.0 each level shows as r = g = b = level.
    w.resize(800, 600);
    w.show();
    QVERIFY(QTest::qWaitForWindowExposed(&w));
    w.view()->m_viewMode = CImageZoom::VIEW_ZOOM;
    w.view()->m_zoom = 1.0f;
    const QImage shot = w.view()->grab().toImage().convertToFormat(QImage::Format_RGB32);
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x) {
            const int level = current->pixels[y * width + x];
            QCOMPARE(shot.pixel(x, y), qRgb(level, level, level));
        }
}

void TestMainWindow::secondFileReplacesFirst()
{
    const QString a = SharedSample("nist-sample-256x256.wsq");
    const QString b = SharedSample("nist-sample-thumb-392x1000.wsq");
    if (a.isEmpty() || b.isEmpty())
        QSKIP("shared sample data not present");
    CquorlanDlg w;
    w.OpenPath(a);
    const qint64 first = w.displayBitmap().cacheKey();
    w.view()->m_viewMode = CImageZoom::VIEW_ZOOM;
    w.view()->SetZoom(2.0f);
    w.OpenPath(b);
    QCOMPARE(w.displayBitmap().size(), QSize(392, 1000));
    QVERIFY(w.displayBitmap().cacheKey() != first);
    QCOMPARE(w.view()->Bitmap().cacheKey(), w.displayBitmap().cacheKey());
    QCOMPARE(wsq_current_image()->width, 392);
    QCOMPARE(w.statusText(0), QStringLiteral("Width: 392"));
    // The view keeps the mode and factor of the first image.
    QCOMPARE(w.view()->m_viewMode, int(CImageZoom::VIEW_ZOOM));
    QCOMPARE(w.view()->m_zoom, 2.0f);
    QCOMPARE(w.recentPaths(), (QStringList{b, a}));

    // A failure afterwards empties the window but keeps the list: the
    // failed file is not added and nothing is removed.
    const QString bad = WriteFile(files.filePath("bad.wsq"), QByteArray("\xFF\xA0\xFF\xA1", 4));
    w.OpenPath(bad);
    QCOMPARE(env.messages.size(), 1);
    QVERIFY(w.displayBitmap().isNull());
    QVERIFY(w.view()->Bitmap().isNull());
    QVERIFY(!wsq_current_image()->pixels);
    QCOMPARE(w.statusText(0), QStringLiteral("Width: 0"));
    QCOMPARE(w.windowTitle(), QStringLiteral("Kestrava - Vellumo - ") + bad);
    QCOMPARE(w.recentPaths(), (QStringList{b, a}));
}

void TestMainWindow::pathsKeepEveryCharacter()
{
    const QString sample = SharedSample("nist-sample-256x256.wsq");
    if (sample.isEmpty())
        QSKIP("shared sample data not present");
    // Non-ASCII names and a path far beyond 260 characters.
    QString deep = files.filePath(QString::fromUtf8("Fingerabdrücke 指紋 & co"));
    for (int i = 0; i < 6; ++i)
        deep += QStringLiteral("/%1-level").arg(QString(40, QChar(u'a' + i)));
    QVERIFY(QDir().mkpath(deep));
    const QString copy = deep + QString::fromUtf8("/Ünïcødé Þumb.wsq");
    QVERIFY(QFile::copy(sample, copy));
    QVERIFY(copy.size() > 300);

    CquorlanDlg w;
    w.OpenPath(copy);
    QVERIFY(env.messages.isEmpty());
    QCOMPARE(w.statusText(0), QStringLiteral("Width: 256"));
    QCOMPARE(w.windowTitle(), QStringLiteral("Kestrava - Vellumo - ") + copy);
    QCOMPARE(w.recentPaths(), QStringList{copy});

    // The menu shows the whole path ('&' doubled) and its command reopens it.
    QAction *item = w.recentFilesMenu()->actions().value(0);
    QVERIFY(item);
    QCOMPARE(item->text(), QString(copy).replace("&", "&&"));
    // Another image, then a failure that is not added to the list...
    const QByteArray flat(40 * 30, char(128));
    WsqEncodeParams params;
    wsq_encode_default_params(&params);
    unsigned char *out = nullptr;
    int outLength = 0;
    QCOMPARE(wsq_encode(reinterpret_cast<const unsigned char *>(flat.constData()), 40, 30, &params, &out,
                        &outLength, nullptr),
             0);
    w.OpenPath(WriteFile(files.filePath("small.wsq"), QByteArray(reinterpret_cast<char *>(out), outLength)));
    std::free(out);
    w.OpenPath(files.filePath("nothing-here.wsq"));
    QCOMPARE(w.statusText(0), QStringLiteral("Width: 0"));
    // ...and the deep path's menu entry opens it again.
    QCOMPARE(w.recentPaths().value(1), copy);
    w.recentFilesMenu()->actions().value(1)->trigger();
    QCOMPARE(w.statusText(0), QStringLiteral("Width: 256"));
    QCOMPARE(w.windowTitle(), QStringLiteral("Kestrava - Vellumo - ") + copy);
}

QTEST_MAIN(TestMainWindow)
#include "tst_quorlandlg.moc"
