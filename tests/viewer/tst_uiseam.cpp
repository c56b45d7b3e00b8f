// The file-dialog half of the modal seam: how visible filter texts turn
// into the patterns a dialog matches, and the real dialog showing every
// file under "All Files (*.*)", names without a dot included.
#include <QtTest>

#include <QComboBox>
#include <QFileDialog>
#include <QFileSystemModel>
#include <QLineEdit>
#include <QListView>

#include <cstdlib>

#include "commandids.h"
#include "quorlandlg.h"
#include "uiseam.h"
#include "viewertestenv.h"
#include "wsq.h"
#include "wsq_encoder.h"

using namespace vellumo;

namespace {

// Names the dialog's file list shows for its current folder.
QStringList ListedNames(QFileDialog &dialog)
{
    auto *list = dialog.findChild<QListView *>(QStringLiteral("listView"));
    if (!list || !list->model())
        return {};
    QStringList names;
    const QModelIndex root = list->rootIndex();
    for (int r = 0; r < list->model()->rowCount(root); ++r)
        names << list->model()->index(r, 0, root).data().toString();
    names.sort();
    return names;
}

QStringList ComboTexts(QFileDialog &dialog)
{
    QStringList texts;
    if (auto *types = dialog.findChild<QComboBox *>(QStringLiteral("fileTypeCombo")))
        for (int i = 0; i < types->count(); ++i)
            texts << types->itemText(i);
    return texts;
}

const QStringList kOpenFilters{QStringLiteral("All Files (*.*)"), QStringLiteral("WSQ Files (*.wsq)")};

} // namespace

class TestUiSeam : public QObject {
    Q_OBJECT
    QTemporaryDir folder;
    ViewerTestEnv env;

private slots:
    void initTestCase()
    {
        env.Install();
        QVERIFY(folder.isValid());
        for (const char *name : {"README", "print.wsq", "notes.txt", "scan.WSQ"})
            QVERIFY(!WriteFile(folder.filePath(QLatin1String(name)), "x").isEmpty());
    }

    void matchingFilters_data()
    {
        QTest::addColumn<QString>("visible");
        QTest::addColumn<QString>("matching");
        QTest::newRow("all files") << "All Files (*.*)" << "All Files (*)";
        QTest::newRow("one type kept") << "WSQ Files (*.wsq)" << "WSQ Files (*.wsq)";
        QTest::newRow("among others") << "Images (*.png *.* *.bmp)" << "Images (*.png * *.bmp)";
        QTest::newRow("already *") << "Everything (*)" << "Everything (*)";
        QTest::newRow("twice, once left") << "All (*.* *)" << "All (*)";
        QTest::newRow("no pattern") << "Plain text" << "Plain text";
        QTest::newRow("*.* in the text only") << "Like *.* on Windows (*.txt)" << "Like *.* on Windows (*.txt)";
    }
    void matchingFilters()
    {
        QFETCH(QString, visible);
        QFETCH(QString, matching);
        QCOMPARE(ui::dialogNameFilter(visible), matching);
    }

    void allFilesShowsNamesWithoutADot()
    {
        QFileDialog dialog;
        dialog.setOption(QFileDialog::DontUseNativeDialog);
        ui::FileDialogRequest request;
        request.caption = QStringLiteral("Open");
        request.filters = kOpenFilters;
        ui::prepareFileDialog(dialog, request);
        dialog.setDirectory(folder.path());

        // The list shows the texts as given, the first one chosen...
        QCOMPARE(ComboTexts(dialog), kOpenFilters);
        QCOMPARE(ui::selectedFilterIndex(dialog, request), 0);
        // ...and matches every file.
        const QStringList all{"README", "notes.txt", "print.wsq", "scan.WSQ"};
        QTRY_COMPARE(ListedNames(dialog), all);

        // Choosing a type in the list, as the user does.
        auto *types = dialog.findChild<QComboBox *>(QStringLiteral("fileTypeCombo"));
        QVERIFY(types);
        const auto choose = [types](int index) {
            types->setCurrentIndex(index);
            emit types->activated(index);
        };
        choose(1);
        QCOMPARE(ui::selectedFilterIndex(dialog, request), 1);
        QTRY_COMPARE(ListedNames(dialog), (QStringList{"print.wsq", "scan.WSQ"}));
        choose(0);
        QCOMPARE(ui::selectedFilterIndex(dialog, request), 0);
        QTRY_COMPARE(ListedNames(dialog), all);
    }

    void openCommandRunsTheRealDialog()
    {
        // File > Open with no test handler: the real dialog lists the file
        // without an extension, and a non-ASCII path typed in it opens.
        env.Reset();
        ui::setFileDialogHandler({});

        const QString sub = folder.filePath(QString::fromUtf8("Fingerabdrücke"));
        QVERIFY(QDir().mkpath(sub));
        QByteArray pixels(50 * 40, char(100));
        WsqEncodeParams params;
        wsq_encode_default_params(&params);
        unsigned char *out = nullptr;
        int length = 0;
        QCOMPARE(wsq_encode(reinterpret_cast<const unsigned char *>(pixels.constData()), 50, 40, &params, &out,
                            &length, nullptr),
                 0);
        const QString path =
            WriteFile(sub + QString::fromUtf8("/ç指紋.wsq"), QByteArray(reinterpret_cast<char *>(out), length));
        std::free(out);
        QVERIFY(!path.isEmpty());

        CquorlanDlg w;
        QStringList listed, types;
        bool driven = false;
        QTimer::singleShot(0, [&] {
            auto *dialog = qobject_cast<QFileDialog *>(QApplication::activeModalWidget());
            if (!dialog)
                return;
            dialog->setDirectory(folder.path());
            QTRY_VERIFY(ListedNames(*dialog).contains("README"));
            listed = ListedNames(*dialog);
            types = ComboTexts(*dialog);
            if (auto *name = dialog->findChild<QLineEdit *>(QStringLiteral("fileNameEdit"))) {
                name->setText(path);
                driven = true;
                QMetaObject::invokeMethod(dialog, "accept", Qt::QueuedConnection);
            } else {
                dialog->reject();
            }
        });
        QTimer::singleShot(10000, [] {
            if (QWidget *modal = QApplication::activeModalWidget())
                modal->close(); // never hang on a dialog that did not get driven
        });
        w.OnCommand(ID_CMD_OPEN);
        QVERIFY(driven);
        QCOMPARE(types, kOpenFilters);
        QVERIFY2(listed.contains("README") && listed.contains(QString::fromUtf8("Fingerabdrücke")),
                 qPrintable(listed.join(", ")));
        QVERIFY2(env.messages.isEmpty(), env.messages.isEmpty() ? "" : qPrintable(env.messages.front().text));
        QCOMPARE(w.windowTitle(), QStringLiteral("Kestrava - Vellumo - ") + path);
        QCOMPARE(w.statusText(0), QStringLiteral("Width: 50"));
        wsq_release_current_image();
    }
};

QTEST_MAIN(TestUiSeam)
#include "tst_uiseam.moc"
