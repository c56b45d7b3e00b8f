// The update dialog: texts, title font, frame without a close box, white
// background, and the keys and button that close it.
#include "updatedlg.h"

#include <QApplication>
#include <QImage>
#include <QLabel>
#include <QPushButton>
#include <QTest>

class TestUpdateDlg : public QObject {
    Q_OBJECT

private slots:
    void presentsTexts()
    {
        CUpdateDlg dlg(QStringLiteral("Update Available v3.0.0.2"), QStringLiteral("Great news, a new version is available!"));
        QCOMPARE(dlg.windowTitle(), QStringLiteral("Check for Update"));
        QCOMPARE(dlg.titleText(), QStringLiteral("Update Available v3.0.0.2"));
        QCOMPARE(dlg.infoText(), QStringLiteral("Great news, a new version is available!"));
        QVERIFY(dlg.parentWidget() == nullptr);

        auto *title = dlg.findChild<QLabel *>(QStringLiteral("title"));
        QVERIFY(title);
        QCOMPARE(title->font().family(), QStringLiteral("Arial"));
        QCOMPARE(title->font().pointSize(), 16);
        // Texts are shown as they are, never as markup.
        CUpdateDlg markup(QStringLiteral("<b>x</b>"), QStringLiteral("a<br>b"));
        QCOMPARE(markup.findChild<QLabel *>(QStringLiteral("title"))->textFormat(), Qt::PlainText);
        QCOMPARE(markup.findChild<QLabel *>(QStringLiteral("info"))->textFormat(), Qt::PlainText);

        auto *ok = dlg.findChild<QPushButton *>(QStringLiteral("ok"));
        QVERIFY(ok);
        QCOMPARE(ok->text(), QStringLiteral("OK"));
        QVERIFY(ok->isDefault());
    }

    void frameHasNoCloseBox()
    {
        CUpdateDlg dlg(QStringLiteral("Latest Version"), QStringLiteral("info"));
        const Qt::WindowFlags f = dlg.windowFlags();
        QVERIFY(f.testFlag(Qt::CustomizeWindowHint));
        QVERIFY(f.testFlag(Qt::WindowTitleHint));
        QVERIFY(!f.testFlag(Qt::WindowCloseButtonHint));
        QVERIFY(!f.testFlag(Qt::WindowSystemMenuHint));
        QVERIFY(!f.testFlag(Qt::WindowStaysOnTopHint)); // raised, not pinned
    }

    void backgroundIsWhite()
    {
        CUpdateDlg dlg(QStringLiteral("Connection Issue"), QStringLiteral("Unable to check at this time"));
        dlg.resize(dlg.minimumSize());
        const QImage shot = dlg.grab().toImage();
        QVERIFY(!shot.isNull());
        for (const QPoint p : {QPoint(2, 2), QPoint(shot.width() - 3, 2), QPoint(2, shot.height() - 3),
                               QPoint(shot.width() - 3, shot.height() - 3)})
            QCOMPARE(QColor(shot.pixel(p)), QColor(Qt::white));
    }

    void closes_data()
    {
        QTest::addColumn<int>("key"); // 0 = click OK
        QTest::addColumn<int>("result");
        QTest::newRow("OK button") << 0 << int(QDialog::Accepted);
        QTest::newRow("Enter") << int(Qt::Key_Return) << int(QDialog::Accepted);
        QTest::newRow("keypad Enter") << int(Qt::Key_Enter) << int(QDialog::Accepted);
        QTest::newRow("Escape") << int(Qt::Key_Escape) << int(QDialog::Rejected);
    }

    void closes()
    {
        QFETCH(int, key);
        QFETCH(int, result);
        CUpdateDlg dlg(QStringLiteral("Latest Version"), QStringLiteral("info"));
        dlg.show();
        QVERIFY(QTest::qWaitForWindowExposed(&dlg));
        QVERIFY(dlg.isVisible());
        dlg.setResult(-1);
        if (key == 0)
            QTest::mouseClick(dlg.findChild<QPushButton *>(QStringLiteral("ok")), Qt::LeftButton);
        else
            QTest::keyClick(&dlg, Qt::Key(key));
        QVERIFY(!dlg.isVisible());
        QCOMPARE(dlg.result(), result);
    }
};

QTEST_MAIN(TestUpdateDlg)
#include "tst_updatedlg.moc"
