// Save As and the image menu: which writer runs, where the menu opens, and
// what the dialogs are asked. Dialogs and menus are answered by handlers.
#include "clipboard.h"
#include "commandids.h"
#include "exportcommands.h"
#include "uiseam.h"
#include "wsq_writers.h"

#include <QAction>
#include <QApplication>
#include <QClipboard>
#include <QComboBox>
#include <QFileDialog>
#include <QLineEdit>
#include <QFile>
#include <QMenu>
#include <QTemporaryDir>
#include <QTimer>
#include <QWidget>
#include <QtTest>

#include <cstdlib>
#include <optional>

using vellumo::ui::FileDialogRequest;
using vellumo::ui::FileDialogResult;

namespace {

QByteArray readAll(const QString &path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

void writeFile(const QString &path, const QByteArray &bytes)
{
    QFile f(path);
    QVERIFY(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
    QCOMPARE(f.write(bytes), bytes.size());
}

// What the writer named by extension would put in a file for this image.
QByteArray encoded(const GrayImage &image, const QString &format)
{
    unsigned char *out = nullptr;
    size_t length = 0;
    int status = -1;
    if (format == QLatin1String("bmp"))
        status = wsq_encode_bmp(&image, &out, &length);
    else if (format == QLatin1String("png"))
        status = wsq_encode_png(&image, &out, &length);
    else
        status = wsq_encode_pgm(&image, &out, &length);
    QByteArray bytes;
    if (status == 0)
        bytes = QByteArray(reinterpret_cast<const char *>(out), qsizetype(length));
    std::free(out);
    return bytes;
}

} // namespace

class TestExport : public QObject {
    Q_OBJECT

private slots:
    void initTestCase()
    {
        // A 5 x 3 image with distinct values; built by hand, no decoder.
        m_image.width = 5;
        m_image.height = 3;
        m_image.depth = 8;
        m_image.ppi = -1;
        m_image.lossy = 1;
        m_image.pixels = static_cast<unsigned char *>(std::malloc(15));
        for (int i = 0; i < 15; ++i)
            m_image.pixels[i] = static_cast<unsigned char>(i * 17);
        m_bitmap = QImage(5, 3, QImage::Format_Grayscale8);
        for (int y = 0; y < 3; ++y)
            memcpy(m_bitmap.scanLine(y), m_image.pixels + y * 5, 5);

        // The view sits inside a top-level window at a known place.
        m_window.setGeometry(100, 80, 400, 300);
        m_view = new QWidget(&m_window);
        m_view->setGeometry(10, 20, 200, 150);
        m_viewOrigin = m_view->mapToGlobal(QPoint(0, 0));
    }
    void cleanupTestCase() { std::free(m_image.pixels); }

    void init()
    {
        QVERIFY(m_dir.isValid());
        m_requests.clear();
        m_menuShown = 0;
        m_answer = {};
        vellumo::ui::setFileDialogHandler([this](const FileDialogRequest &r) {
            m_requests.append(r);
            return m_answer;
        });
        vellumo::ui::setMessageBoxHandler([](const vellumo::ui::MessageBoxRequest &r) {
            QFAIL(qPrintable(QStringLiteral("unexpected message: ") + r.text));
        });
    }
    void cleanup()
    {
        vellumo::ui::setFileDialogHandler({});
        vellumo::ui::setPopupMenuHandler({});
        vellumo::ui::setMessageBoxHandler({});
    }

    // --- Save As -------------------------------------------------------

    void saveAsTypeDecidesFormat_data()
    {
        QTest::addColumn<int>("filterIndex");
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("format");
        QTest::newRow("bmp type, .png name") << 0 << "x.png" << "bmp";
        QTest::newRow("png type, .bmp name") << 1 << "y.bmp" << "png";
        QTest::newRow("pgm type, .png name") << 2 << "z.png" << "pgm";
        QTest::newRow("pgm type, .txt name") << 2 << "w.txt" << "pgm";
    }
    void saveAsTypeDecidesFormat()
    {
        QFETCH(int, filterIndex);
        QFETCH(QString, name);
        QFETCH(QString, format);
        const QString path = m_dir.filePath(name);
        m_answer = {true, path, filterIndex};
        QWidget owner;
        vellumo::SaveAsCommand(&owner, &m_image);

        QCOMPARE(m_requests.size(), 1);
        const FileDialogRequest &r = m_requests.at(0);
        QCOMPARE(r.kind, FileDialogRequest::Save);
        QCOMPARE(r.owner, &owner);
        QCOMPARE(r.filters, QStringList({"BMP File (*.bmp)", "PNG file (*.png)", "PGM file (*.pgm)"}));
        QCOMPARE(r.selectedFilter, 0);
        QCOMPARE(r.defaultSuffix, QStringLiteral("bmp"));
        QVERIFY(r.confirmOverwrite);

        const QByteArray expected = encoded(m_image, format);
        QVERIFY(!expected.isEmpty());
        QCOMPARE(readAll(path), expected);
    }

    void saveAsCancelChangesNothing()
    {
        const QString path = m_dir.filePath("keep.bmp");
        writeFile(path, "old contents");
        m_answer = {false, path, 1};
        vellumo::SaveAsCommand(nullptr, &m_image);
        QCOMPARE(m_requests.size(), 1);
        QCOMPARE(readAll(path), QByteArray("old contents"));
    }

    void saveAsWithoutImageAsksNothing()
    {
        GrayImage empty{};
        m_answer = {true, m_dir.filePath("none.bmp"), 0};
        vellumo::SaveAsCommand(nullptr, nullptr);
        vellumo::SaveAsCommand(nullptr, &empty);
        QVERIFY(m_requests.isEmpty());
        QVERIFY(!QFile::exists(m_dir.filePath("none.bmp")));
    }

    void pathsKeepEveryCharacter()
    {
        // Non-Latin-1 characters would be mangled by a one-byte conversion.
        const QString path = m_dir.filePath(QStringLiteral("Abdruck-ñ-指紋-\u0394.pgm"));
        m_answer = {true, path, 2};
        vellumo::SaveAsCommand(nullptr, &m_image);
        QCOMPARE(readAll(path), encoded(m_image, "pgm"));
        QCOMPARE(QDir(m_dir.path()).entryList(QDir::Files).filter(QStringLiteral("Abdruck")).size(), 1);

        const QString menuPath = m_dir.filePath(QStringLiteral("Копия-\u00e9.png"));
        m_answer = {true, menuPath, 0};
        vellumo::ui::setPopupMenuHandler([](QMenu &, const QPoint &) { return int(vellumo::IDM_IMAGE_SAVE_PNG); });
        vellumo::ImageContextMenu(nullptr, m_view, m_viewOrigin, &m_image, &m_bitmap);
        QCOMPARE(readAll(menuPath), encoded(m_image, "png"));
    }

    void missingExtensionIsAddedForNewFilesOnly()
    {
        // A new name without extension gets the chosen type's one.
        const QString bare = m_dir.filePath("print");
        m_answer = {true, bare, 1};
        vellumo::SaveAsCommand(nullptr, &m_image);
        QVERIFY(!QFile::exists(bare));
        QCOMPARE(readAll(bare + ".png"), encoded(m_image, "png"));

        vellumo::ui::setPopupMenuHandler([](QMenu &, const QPoint &) { return int(vellumo::IDM_IMAGE_SAVE_PGM); });
        m_answer = {true, bare, 0};
        vellumo::ImageContextMenu(nullptr, m_view, m_viewOrigin, &m_image, &m_bitmap);
        QVERIFY(!QFile::exists(bare));
        QCOMPARE(readAll(bare + ".pgm"), encoded(m_image, "pgm"));

        // An existing file the user picked is written under its own name.
        const QString existing = m_dir.filePath("existing");
        writeFile(existing, "old");
        m_answer = {true, existing, 0};
        vellumo::SaveAsCommand(nullptr, &m_image);
        QCOMPARE(readAll(existing), encoded(m_image, "bmp"));
        QVERIFY(!QFile::exists(existing + ".bmp"));
    }

    void realSaveDialogSuffixFollowsChosenType()
    {
        // The real (non-native) dialog: pick the PNG type, type a bare name.
        vellumo::ui::setFileDialogHandler({});
        const QString bare = m_dir.filePath("typed");
        bool driven = false;
        QTimer::singleShot(0, [&] {
            auto *dialog = qobject_cast<QFileDialog *>(QApplication::activeModalWidget());
            if (!dialog)
                return;
            auto *types = dialog->findChild<QComboBox *>(QStringLiteral("fileTypeCombo"));
            auto *name = dialog->findChild<QLineEdit *>(QStringLiteral("fileNameEdit"));
            if (types && name && types->count() == 3) {
                types->setCurrentIndex(1);
                emit types->activated(1);
                emit types->textActivated(types->itemText(1));
                dialog->setDirectory(m_dir.path());
                name->setText(bare);
                driven = true;
                QMetaObject::invokeMethod(dialog, "accept");
            } else {
                dialog->reject();
            }
        });
        vellumo::SaveAsCommand(nullptr, &m_image);
        QVERIFY(driven);
        QVERIFY(!QFile::exists(bare + ".bmp"));
        QCOMPARE(readAll(bare + ".png"), encoded(m_image, "png"));
    }

    void failedSaveSaysWhy()
    {
        // No such folder: the writer fails, the owner is told why, nothing
        // is created. Both ways of saving do the same.
        QList<vellumo::ui::MessageBoxRequest> messages;
        vellumo::ui::setMessageBoxHandler([&](const vellumo::ui::MessageBoxRequest &r) { messages << r; });
        const QString path = m_dir.filePath("missing-folder/x.bmp");
        m_answer = {true, path, 0};
        QWidget owner;
        vellumo::SaveAsCommand(&owner, &m_image);
        vellumo::ui::setPopupMenuHandler([](QMenu &, const QPoint &) { return int(vellumo::IDM_IMAGE_SAVE_PNG); });
        vellumo::ImageContextMenu(&owner, m_view, m_viewOrigin, &m_image, &m_bitmap);
        QCOMPARE(messages.size(), 2);
        for (const auto &box : messages) {
            QCOMPARE(box.owner, &owner);
            QCOMPARE(box.caption, QStringLiteral("Vellumo"));
            QCOMPARE(box.text, QStringLiteral("The image could not be saved as x.bmp.\n\nThe folder %1 does not exist.")
                                   .arg(m_dir.filePath("missing-folder")));
        }
        QVERIFY(!QFile::exists(m_dir.filePath("missing-folder")));
    }

    // --- Image menu ----------------------------------------------------

    void menuOpensOnlyInsideTheView_data()
    {
        QTest::addColumn<QPoint>("offset"); // from the view's top-left, in screen pixels
        QTest::addColumn<bool>("opens");
        const int w = 200, h = 150;
        QTest::newRow("top-left pixel") << QPoint(0, 0) << true;
        QTest::newRow("middle") << QPoint(w / 2, h / 2) << true;
        QTest::newRow("rightmost column") << QPoint(w - 1, 40) << true;
        QTest::newRow("bottom row") << QPoint(60, h - 1) << true;
        QTest::newRow("bottom-right pixel") << QPoint(w - 1, h - 1) << true;
        QTest::newRow("left of view") << QPoint(-1, 40) << false;
        QTest::newRow("above view") << QPoint(60, -1) << false;
        QTest::newRow("right of view") << QPoint(w, 40) << false;
        QTest::newRow("below view (status bar)") << QPoint(60, h) << false;
        QTest::newRow("far away") << QPoint(-500, 900) << false;
    }
    void menuOpensOnlyInsideTheView()
    {
        QFETCH(QPoint, offset);
        QFETCH(bool, opens);
        QPoint shownAt;
        vellumo::ui::setPopupMenuHandler([&](QMenu &, const QPoint &at) {
            ++m_menuShown;
            shownAt = at;
            return 0;
        });
        const QPoint click = m_viewOrigin + offset;
        QCOMPARE(vellumo::ImageContextMenu(&m_window, m_view, click, &m_image, &m_bitmap), opens);
        QCOMPARE(m_menuShown, opens ? 1 : 0);
        if (opens)
            QCOMPARE(shownAt, click);
        QVERIFY(m_requests.isEmpty());
    }

    void menuItemsAndTheirStates()
    {
        struct Seen {
            QStringList texts;
            QList<int> ids;
            QList<bool> enabled;
        };
        auto look = [](Seen &seen) {
            return [&seen](QMenu &menu, const QPoint &) {
                for (QAction *a : menu.actions()) {
                    seen.texts << a->text();
                    seen.ids << a->data().toInt();
                    seen.enabled << a->isEnabled();
                }
                return 0;
            };
        };
        const QStringList texts{"Copy to clipboard", "Save as BMP", "Save as PNG", "Save as PGM"};
        const QList<int> ids{1, 3, 4, 5};

        Seen withImage;
        vellumo::ui::setPopupMenuHandler(look(withImage));
        QVERIFY(vellumo::ImageContextMenu(nullptr, m_view, m_viewOrigin, &m_image, &m_bitmap));
        QCOMPARE(withImage.texts, texts);
        QCOMPARE(withImage.ids, ids);
        QCOMPARE(withImage.enabled, QList<bool>(4, true));

        // Without decoded pixels the menu still opens, every item greyed.
        GrayImage noPixels{};
        noPixels.width = 5;
        noPixels.height = 3;
        for (const GrayImage *image : {static_cast<const GrayImage *>(nullptr),
                                       static_cast<const GrayImage *>(&noPixels)}) {
            Seen without;
            vellumo::ui::setPopupMenuHandler(look(without));
            QVERIFY(vellumo::ImageContextMenu(nullptr, m_view, m_viewOrigin, image, nullptr));
            QCOMPARE(without.texts, texts);
            QCOMPARE(without.ids, ids);
            QCOMPARE(without.enabled, QList<bool>(4, false));
        }

        // A greyed item cannot start a save.
        vellumo::ui::setPopupMenuHandler([](QMenu &, const QPoint &) { return int(vellumo::IDM_IMAGE_SAVE_BMP); });
        vellumo::ImageContextMenu(nullptr, m_view, m_viewOrigin, &noPixels, nullptr);
        QVERIFY(m_requests.isEmpty());
    }

    void menuSaveReplacesExistingFile_data()
    {
        QTest::addColumn<int>("id");
        QTest::addColumn<QString>("format");
        QTest::addColumn<QString>("filter");
        QTest::newRow("bmp") << int(vellumo::IDM_IMAGE_SAVE_BMP) << "bmp" << "BMP Files (*.bmp)";
        QTest::newRow("png") << int(vellumo::IDM_IMAGE_SAVE_PNG) << "png" << "PNG Files (*.png)";
        QTest::newRow("pgm") << int(vellumo::IDM_IMAGE_SAVE_PGM) << "pgm" << "PGM Files (*.pgm)";
    }
    void menuSaveReplacesExistingFile()
    {
        QFETCH(int, id);
        QFETCH(QString, format);
        QFETCH(QString, filter);
        // The writer follows the menu item, not the name; the file exists.
        const QString path = m_dir.filePath("replace-" + format + ".dat");
        writeFile(path, QByteArray(4096, 'x'));
        m_answer = {true, path, 0};
        vellumo::ui::setPopupMenuHandler([id](QMenu &, const QPoint &) { return id; });
        QWidget owner;
        QVERIFY(vellumo::ImageContextMenu(&owner, m_view, m_viewOrigin + QPoint(5, 5), &m_image, &m_bitmap));

        QCOMPARE(m_requests.size(), 1);
        const FileDialogRequest &r = m_requests.at(0);
        QCOMPARE(r.kind, FileDialogRequest::Save);
        QCOMPARE(r.owner, &owner);
        QCOMPARE(r.filters, QStringList({"All Files (*.*)", filter}));
        QCOMPARE(r.selectedFilter, 0);
        QVERIFY(r.defaultSuffix.isEmpty());
        QVERIFY(!r.confirmOverwrite);

        QCOMPARE(readAll(path), encoded(m_image, format));
    }

    void menuCancelAndDismissChangeNothing()
    {
        const QString path = m_dir.filePath("untouched.bmp");
        writeFile(path, "old contents");
        QGuiApplication::clipboard()->setText(QStringLiteral("before"));

        // Save chosen, dialog cancelled.
        m_answer = {false, path, 0};
        vellumo::ui::setPopupMenuHandler([](QMenu &, const QPoint &) { return int(vellumo::IDM_IMAGE_SAVE_BMP); });
        vellumo::ImageContextMenu(nullptr, m_view, m_viewOrigin, &m_image, &m_bitmap);
        QCOMPARE(m_requests.size(), 1);

        // Menu dismissed.
        m_answer = {true, path, 0};
        vellumo::ui::setPopupMenuHandler([](QMenu &, const QPoint &) { return 0; });
        vellumo::ImageContextMenu(nullptr, m_view, m_viewOrigin, &m_image, &m_bitmap);
        QCOMPARE(m_requests.size(), 1);

        QCOMPARE(readAll(path), QByteArray("old contents"));
        QCOMPARE(QGuiApplication::clipboard()->text(), QStringLiteral("before"));
    }

    void menuCopyPutsImageOnClipboard()
    {
        QGuiApplication::clipboard()->clear();
        vellumo::ui::setPopupMenuHandler([](QMenu &, const QPoint &) { return int(vellumo::IDM_IMAGE_COPY); });
        QVERIFY(vellumo::ImageContextMenu(&m_window, m_view, m_viewOrigin, &m_image, &m_bitmap));
        QVERIFY(m_requests.isEmpty());
        const QImage pasted = QGuiApplication::clipboard()->image();
        QCOMPARE(pasted.size(), QSize(5, 3));
        for (int y = 0; y < 3; ++y)
            for (int x = 0; x < 5; ++x) {
                const int g = m_image.pixels[y * 5 + x];
                QCOMPARE(pasted.pixel(x, y), qRgb(g, g, g));
            }
    }

private:
    GrayImage m_image{};
    QImage m_bitmap;
    QWidget m_window;
    QWidget *m_view = nullptr;
    QPoint m_viewOrigin;
    QTemporaryDir m_dir;
    QList<FileDialogRequest> m_requests;
    FileDialogResult m_answer;
    int m_menuShown = 0;
};

QTEST_MAIN(TestExport)
#include "tst_export.moc"
