// The main window against files and places that are not what they claim:
// folders, FIFOs, devices, unreadable, vanishing and shrinking files,
// other image formats, oversized frames, non-ASCII paths, saves that
// cannot succeed and settings that cannot be read or written. Every case
// says what went wrong; a failed open leaves an empty window named after
// the failed file, and a failed save leaves the image and the files alone.
#include <QtTest>

#include <QDirIterator>
#include <QMimeData>
#include <QScopeGuard>

#include <cerrno>
#include <cstdlib>
#include <memory>
#include <sys/stat.h>
#include <unistd.h>

#include "commandids.h"
#include "fileread.h"
#include "imagezoom.h"
#include "quorlandlg.h"
#include "viewertestenv.h"
#include "wsq.h"
#include "wsq_encoder.h"

using namespace vellumo;

namespace {

// A small real codestream: a gradient with a ring, so a wrong decode shows.
QByteArray EncodedPrint(int width, int height)
{
    QByteArray pixels(width * height, '\0');
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x) {
            const int dx = x - width / 2, dy = y - height / 2;
            const bool ring = std::abs(dx * dx + dy * dy - width * width / 9) < width * 2;
            pixels[y * width + x] = char(ring ? 20 : 80 + (x + y) % 150);
        }
    WsqEncodeParams params;
    wsq_encode_default_params(&params);
    unsigned char *out = nullptr;
    int length = 0;
    if (wsq_encode(reinterpret_cast<const unsigned char *>(pixels.constData()), width, height, &params, &out,
                   &length, nullptr) != 0)
        return {};
    QByteArray bytes(reinterpret_cast<const char *>(out), length);
    std::free(out);
    return bytes;
}

void Drop(QWidget &target, const QString &path)
{
    QMimeData mime;
    mime.setUrls({QUrl::fromLocalFile(path)});
    QDragEnterEvent enter(QPoint(50, 50), Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
    QCoreApplication::sendEvent(&target, &enter);
    QDropEvent drop(QPointF(50, 50), Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
    QCoreApplication::sendEvent(&target, &drop);
}

// Everything the user sees of the image on show.
struct Shown {
    QString title;
    QStringList status;
    qint64 bitmapKey = 0;
    qint64 viewKey = 0;
    const unsigned char *pixels = nullptr;
    int width = 0;
    QStringList recent;
    bool canCopy = false;

    static Shown Of(const CquorlanDlg &w)
    {
        Shown s;
        s.title = w.windowTitle();
        for (int i = 0; i < CquorlanDlg::kStatusParts; ++i)
            s.status << w.statusText(i);
        s.bitmapKey = w.displayBitmap().cacheKey();
        s.viewKey = w.view()->Bitmap().cacheKey();
        s.pixels = wsq_current_image()->pixels;
        s.width = wsq_current_image()->width;
        s.recent = w.recentPaths();
        s.canCopy = w.action(ID_CMD_COPY)->isEnabled() && w.action(ID_CMD_SAVE_AS)->isEnabled();
        return s;
    }
    bool operator==(const Shown &o) const
    {
        return title == o.title && status == o.status && bitmapKey == o.bitmapKey && viewKey == o.viewKey &&
               pixels == o.pixels && width == o.width && recent == o.recent && canCopy == o.canCopy;
    }
};

QByteArray Ascii(const char *text, int size) { return QByteArray(text, size); }

} // namespace

class TestHostile : public QObject {
    Q_OBJECT
    ViewerTestEnv env;
    QTemporaryDir files;
    QString good;      // 120 x 90, shown before each fault
    QByteArray goodBytes;

    // Makes the file system object a fault row names; empty to skip.
    QString MakeFault(const QString &kind, const QByteArray &bytes);

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void faultEmptiesTheWindow_data();
    void faultEmptiesTheWindow();
    void fileChangesBetweenMeasureAndRead_data();
    void fileChangesBetweenMeasureAndRead();
    void readerReadsToTheEnd();
    void nonAsciiPathsOpenEveryWay_data();
    void nonAsciiPathsOpenEveryWay();
    void failedSaveSaysWhyAndKeepsFiles_data();
    void failedSaveSaysWhyAndKeepsFiles();
    void brokenSettingsGiveAnEmptyList_data();
    void brokenSettingsGiveAnEmptyList();
};

void TestHostile::initTestCase()
{
    env.Install();
    QVERIFY(files.isValid());
    goodBytes = EncodedPrint(120, 90);
    QVERIFY(!goodBytes.isEmpty());
    good = WriteFile(files.filePath("good.wsq"), goodBytes);
    QVERIFY(!good.isEmpty());
}

void TestHostile::init() { env.Reset(); }

void TestHostile::cleanup()
{
    SetAfterMeasureHook({});
    wsq_release_current_image();
}

QString TestHostile::MakeFault(const QString &kind, const QByteArray &bytes)
{
    const QString path = files.filePath(QStringLiteral("fault-%1.wsq").arg(QString(kind).replace(' ', '-')));
    if (kind == "missing")
        return path;
    if (kind == "folder")
        return QDir().mkpath(path) ? path : QString();
    if (kind == "fifo") {
        if (::mkfifo(QFile::encodeName(path).constData(), 0600) != 0 && errno != EEXIST)
            return QString();
        return path;
    }
    if (kind == "/dev/zero" || kind == "/dev/null")
        return kind;
    if (kind == "unreadable") {
        if (::geteuid() == 0)
            return QString(); // root reads any file
        WriteFile(path, goodBytes);
        QFile::setPermissions(path, QFileDevice::WriteOwner);
        return path;
    }
    return WriteFile(path, bytes);
}

namespace {

void FaultRows()
{
    QTest::addColumn<QString>("kind");
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<QString>("says");

    const auto row = [](const char *kind, const QByteArray &bytes, const char *says) {
        QTest::newRow(kind) << QString::fromLatin1(kind) << bytes << QString::fromUtf8(says);
    };
    row("missing", {}, "fault-missing.wsq cannot be found.");
    row("folder", {}, "fault-folder.wsq is a folder, not a WSQ file.");
    row("fifo", {}, "fault-fifo.wsq is a named pipe, not a WSQ file.");
    row("/dev/zero", {}, "zero is a device, not a WSQ file.");
    row("/dev/null", {}, "null is a device, not a WSQ file.");
    row("unreadable", {}, "You are not allowed to read fault-unreadable.wsq.");
    row("empty", {}, "fault-empty.wsq is empty (0 bytes).");
    row("png", Ascii("\x89PNG\r\n\x1a\n\0\0\0\rIHDR", 16), "fault-png.wsq is a PNG image, not a WSQ file.");
    row("jpeg", Ascii("\xFF\xD8\xFF\xE0\0\x10JFIF\0", 11), "is a JPEG image, not a WSQ file.");
    row("jp2 box", Ascii("\0\0\0\x0CjP  \r\n\x87\n\0\0\0\x14", 16), "is a JPEG 2000 image, not a WSQ file.");
    row("j2k codestream", Ascii("\xFF\x4F\xFF\x51\0\x2F\0\0", 8), "is a JPEG 2000 image, not a WSQ file.");
    row("bmp", Ascii("BM\x3A\0\0\0\0\0\0\0\x36\0\0\0", 14), "is a BMP image, not a WSQ file.");
    row("pgm binary", Ascii("P5\n3 2\n255\n", 11), "is a PGM image, not a WSQ file.");
    row("pgm text", Ascii("P2 3 2 255\n", 11), "is a PGM image, not a WSQ file.");
    row("ppm", Ascii("P6\n3 2\n255\n", 11), "is a PPM image, not a WSQ file.");
    row("tiff little", Ascii("II*\0\x08\0\0\0", 8), "is a TIFF image, not a WSQ file.");
    row("tiff big", Ascii("MM\0*\0\0\0\x08", 8), "is a TIFF image, not a WSQ file.");
    row("gif", Ascii("GIF89a\x01\0\x01\0", 10), "is a GIF image, not a WSQ file.");
    row("text", "just some notes\n", "fault-text.wsq is not a WSQ file.");
    // 16385 x 16384 is just above 2^28 pixels: refused from the header.
    row("huge frame", HeaderOnlyCodestream(16385, 16384, 0, 0, {}, 300),
        "fault-huge-frame.wsq is an image of 16385 × 16384 pixels. Vellumo opens images of up to");
    row("broken codestream", Ascii("\xFF\xA0\xFF\xA1", 4), "The file could not be decoded");
}

} // namespace

void TestHostile::faultEmptiesTheWindow_data() { FaultRows(); }

void TestHostile::faultEmptiesTheWindow()
{
    QFETCH(QString, kind);
    QFETCH(QByteArray, bytes);
    QFETCH(QString, says);
    const QString path = MakeFault(kind, bytes);
    if (path.isEmpty())
        QSKIP("cannot be made here (running as root?)");

    // Once on an empty window, once after an image that opened.
    for (const bool imageFirst : {false, true}) {
        env.messages.clear();
        CquorlanDlg w;
        if (imageFirst) {
            w.OpenPath(good);
            QVERIFY(env.messages.isEmpty());
            QCOMPARE(w.statusText(0), QStringLiteral("Width: 120"));
        }

        QElapsedTimer timer;
        timer.start();
        w.OpenPath(path);
        QVERIFY2(timer.elapsed() < 3000, "neither blocks nor reads forever");

        QCOMPARE(env.messages.size(), 1);
        const ui::MessageBoxRequest &box = env.messages.front();
        QCOMPARE(box.caption, QStringLiteral("Vellumo"));
        QVERIFY2(box.text.startsWith(QStringLiteral("Error opening WSQ file\n\n")), qPrintable(box.text));
        QVERIFY2(box.text.contains(says), qPrintable(box.text));
        // No image is left, the window names the failed file, and the
        // recent list holds only a file that did open.
        QCOMPARE(w.windowTitle(), QStringLiteral("Kestrava - Vellumo - ") + path);
        QCOMPARE(w.statusText(0), QStringLiteral("Width: 0"));
        QCOMPARE(w.statusText(1), QStringLiteral("Height: 0"));
        QVERIFY(w.displayBitmap().isNull());
        QVERIFY(w.view()->Bitmap().isNull());
        QVERIFY(!w.action(ID_CMD_COPY)->isEnabled());
        QVERIFY(!w.action(ID_CMD_SAVE_AS)->isEnabled());
        QCOMPARE(w.recentPaths(), imageFirst ? QStringList{good} : QStringList{});
        QVERIFY(!wsq_current_image()->pixels);
    }
}

void TestHostile::fileChangesBetweenMeasureAndRead_data()
{
    QTest::addColumn<QString>("change");
    QTest::addColumn<bool>("opens");
    QTest::addColumn<QString>("says");
    QTest::newRow("removed") << "removed" << true << "";
    QTest::newRow("replaced by a folder") << "folder" << true << "";
    QTest::newRow("emptied") << "emptied" << false << "is empty (0 bytes).";
    QTest::newRow("cut in half") << "halved" << false << "The file could not be decoded";
}

void TestHostile::fileChangesBetweenMeasureAndRead()
{
    QFETCH(QString, change);
    QFETCH(bool, opens);
    QFETCH(QString, says);
    const QString path = WriteFile(files.filePath("changing-" + change + ".wsq"), goodBytes);
    QVERIFY(!path.isEmpty());

    bool changed = false;
    SetAfterMeasureHook([&](const QString &p) {
        if (p != path)
            return;
        changed = true;
        const QByteArray name = QFile::encodeName(p);
        if (change == "removed") {
            QVERIFY(QFile::remove(p));
        } else if (change == "folder") {
            QVERIFY(QFile::remove(p));
            QVERIFY(QDir().mkdir(p));
        } else if (change == "emptied") {
            QVERIFY(::truncate(name.constData(), 0) == 0);
        } else {
            QVERIFY(::truncate(name.constData(), goodBytes.size() / 2) == 0);
        }
    });

    // A different image on show first, so a failure can be told apart.
    const QString other = WriteFile(files.filePath("other.wsq"), EncodedPrint(64, 40));
    CquorlanDlg w;
    w.OpenPath(other);
    w.OpenPath(path);
    QVERIFY(changed);
    if (opens) {
        // The file opened before it went away is read in full.
        QVERIFY(env.messages.isEmpty());
        QCOMPARE(w.displayBitmap().size(), QSize(120, 90));
        QCOMPARE(w.windowTitle(), QStringLiteral("Kestrava - Vellumo - ") + path);
    } else {
        QCOMPARE(env.messages.size(), 1);
        QVERIFY2(env.messages.front().text.contains(says), qPrintable(env.messages.front().text));
        QVERIFY(w.displayBitmap().isNull());
        QCOMPARE(w.recentPaths(), QStringList{other});
    }
}

void TestHostile::readerReadsToTheEnd()
{
    // Growing after the measure: the bytes added are read too.
    const QString path = WriteFile(files.filePath("growing.bin"), QByteArray(1000, 'a'));
    SetAfterMeasureHook([&](const QString &) {
        QFile f(path);
        QVERIFY(f.open(QIODevice::Append));
        f.write(QByteArray(200000, 'b'));
    });
    FileReadResult result = ReadWholeFile(path);
    QCOMPARE(result.failure, ReadFailure::None);
    QCOMPARE(result.data, QByteArray(1000, 'a') + QByteArray(200000, 'b'));

    // Shrinking: exactly what is left.
    SetAfterMeasureHook([&](const QString &) { QVERIFY(::truncate(QFile::encodeName(path).constData(), 7) == 0); });
    result = ReadWholeFile(path);
    QCOMPARE(result.failure, ReadFailure::None);
    QCOMPARE(result.data, QByteArray(7, 'a'));
    SetAfterMeasureHook({});

    // A path through a file is missing, not an error of the file.
    result = ReadWholeFile(path + "/inside.wsq");
    QCOMPARE(result.failure, ReadFailure::Missing);
    QCOMPARE(ReadWholeFile(QString()).failure, ReadFailure::Missing);
}

void TestHostile::nonAsciiPathsOpenEveryWay_data()
{
    QTest::addColumn<QString>("way");
    QTest::newRow("command line") << "command line";
    QTest::newRow("drop") << "drop";
    QTest::newRow("open dialog") << "open dialog";
    QTest::newRow("recent files") << "recent files";
}

void TestHostile::nonAsciiPathsOpenEveryWay()
{
    QFETCH(QString, way);
    const QString folder = files.filePath(QString::fromUtf8("Fingerabdrücke"));
    QVERIFY(QDir().mkpath(folder));
    const QString path = WriteFile(folder + QString::fromUtf8("/ç指紋.wsq"), goodBytes);
    QVERIFY(!path.isEmpty());

    std::unique_ptr<CquorlanDlg> w;
    if (way == "command line") {
        w = std::make_unique<CquorlanDlg>(path);
    } else {
        w = std::make_unique<CquorlanDlg>();
        if (way == "drop") {
            Drop(*w, path);
        } else if (way == "open dialog") {
            env.nextOpenPath = path;
            w->OnCommand(ID_CMD_OPEN);
        } else {
            w->OpenPath(path);
            w->OpenPath(good);
            QCOMPARE(w->recentPaths(), (QStringList{good, path}));
            w->recentFilesMenu()->actions().value(1)->trigger();
        }
    }
    QVERIFY2(env.messages.isEmpty(), env.messages.isEmpty() ? "" : qPrintable(env.messages.front().text));
    QCOMPARE(w->windowTitle(), QStringLiteral("Kestrava - Vellumo - ") + path);
    QCOMPARE(w->statusText(0), QStringLiteral("Width: 120"));
    QCOMPARE(w->recentPaths().value(0), path);
    // Stored and read back with every character.
    QCOMPARE(QSettings(QStringLiteral("Corvanta"), QStringLiteral("Vellumo")).value("Recent Files/File 1").toString(),
             path);
}

void TestHostile::failedSaveSaysWhyAndKeepsFiles_data()
{
    QTest::addColumn<QString>("target");
    QTest::addColumn<QString>("says");
    QTest::newRow("missing folder") << "no-such-folder/print.bmp" << "The folder %1/no-such-folder does not exist.";
    QTest::newRow("target is a folder") << "a-folder" << "a-folder is a folder.";
    QTest::newRow("folder is a file") << "a-file.txt/print.bmp" << "%1/a-file.txt is not a folder.";
    QTest::newRow("read-only folder") << "read-only/print.bmp" << "You are not allowed to write in the folder";
    QTest::newRow("full disk") << "/dev/full" << "The disk may be full";
}

void TestHostile::failedSaveSaysWhyAndKeepsFiles()
{
    QFETCH(QString, target);
    QFETCH(QString, says);
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    QVERIFY(QDir(dir.path()).mkdir("a-folder"));
    QVERIFY(!WriteFile(dir.filePath("a-file.txt"), "keep me").isEmpty());
    QVERIFY(QDir(dir.path()).mkdir("read-only"));
    QVERIFY(!WriteFile(dir.filePath("read-only/print.bmp"), "old picture").isEmpty());
    QFile::setPermissions(dir.filePath("read-only"), QFileDevice::ReadOwner | QFileDevice::ExeOwner);
    const auto writable = qScopeGuard([&] {
        QFile::setPermissions(dir.filePath("read-only"),
                              QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
    });
    if (target.startsWith("read-only") && ::geteuid() == 0)
        QSKIP("root writes into read-only folders");
    const QString path = target.startsWith('/') ? target : dir.filePath(target);

    CquorlanDlg w;
    w.OpenPath(good);
    const Shown before = Shown::Of(w);
    env.nextOpenPath = path; // the Save As dialog's answer, BMP type
    w.OnCommand(ID_CMD_SAVE_AS);

    QCOMPARE(env.messages.size(), 1);
    const ui::MessageBoxRequest &box = env.messages.front();
    QCOMPARE(box.caption, QStringLiteral("Vellumo"));
    QVERIFY2(box.text.startsWith(QStringLiteral("The image could not be saved as ")), qPrintable(box.text));
    if (says.contains("%1"))
        says = says.arg(dir.path());
    QVERIFY2(box.text.contains(says), qPrintable(box.text));
    QVERIFY(Shown::Of(w) == before);

    // Nothing was half-written and no temporary file is left behind.
    QFile keep(dir.filePath("a-file.txt"));
    QVERIFY(keep.open(QIODevice::ReadOnly));
    QCOMPARE(keep.readAll(), QByteArray("keep me"));
    QFile old(dir.filePath("read-only/print.bmp"));
    QVERIFY(old.open(QIODevice::ReadOnly));
    QCOMPARE(old.readAll(), QByteArray("old picture"));
    QDirIterator it(dir.path(), QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot, QDirIterator::Subdirectories);
    QStringList names;
    while (it.hasNext())
        names << QDir(dir.path()).relativeFilePath(it.next());
    names.sort();
    QCOMPARE(names, (QStringList{"a-file.txt", "a-folder", "read-only", "read-only/print.bmp"}));
}

void TestHostile::brokenSettingsGiveAnEmptyList_data()
{
    QTest::addColumn<QString>("kind");
    QTest::addColumn<QByteArray>("contents");
    QByteArray noise(4096, '\0');
    quint32 seed = 12345;
    for (char &c : noise) {
        seed = seed * 1103515245u + 12345u;
        c = char(seed >> 24);
    }
    QTest::newRow("random bytes") << "file" << noise;
    QTest::newRow("bad variant") << "file"
                                 << QByteArray("[Recent%20Files]\nFile%201=@Variant(\\0\\0\\0\\x7f\\xff\\xff)\n"
                                               "File%202=@ByteArray(\\xff\\xfe)\n");
    QTest::newRow("unterminated group") << "file" << QByteArray("[Recent Files\nFile 1=\"/a\n\n\n[[[[=\n");
    QTest::newRow("settings path is a folder") << "folder" << QByteArray();
}

void TestHostile::brokenSettingsGiveAnEmptyList()
{
    QFETCH(QString, kind);
    QFETCH(QByteArray, contents);
    const QString store = QSettings(QStringLiteral("Corvanta"), QStringLiteral("Vellumo")).fileName();
    QVERIFY(store.startsWith(env.settingsDir.path())); // never the user's own
    QFile::remove(store);
    QVERIFY(QDir().mkpath(QFileInfo(store).absolutePath()));
    if (kind == "folder")
        QVERIFY(QDir().mkpath(store));
    else
        QVERIFY(!WriteFile(store, contents).isEmpty());

    {
        CquorlanDlg w;
        QCOMPARE(w.recentFilesMenu()->actions().size(), 1);
        QCOMPARE(w.recentFilesMenu()->actions().front()->text(), QStringLiteral("No Recent Files"));
        // A file still opens and is listed, stored or not.
        w.OpenPath(good);
        QVERIFY(env.messages.isEmpty());
        QCOMPARE(w.statusText(0), QStringLiteral("Width: 120"));
        QCOMPARE(w.recentPaths(), QStringList{good});
        QCOMPARE(w.recentFilesMenu()->actions().front()->text(), good);
    }
    CquorlanDlg again;
    QVERIFY(again.recentPaths().size() <= 1);

    if (kind == "folder")
        QVERIFY(QDir(store).removeRecursively());
    else
        QFile::remove(store);
}

QTEST_MAIN(TestHostile)
#include "tst_hostile.moc"
