// The About box: its texts and version strings, the link, the pictures and
// the two-tone background behind every control.
#include <QtTest>

#include <QDesktopServices>
#include <QLabel>
#include <QPushButton>

#include <map>

#include "aboutdlg.h"
#include "menuicons.h"
#include "vellumo_version.h"
#include "wsq.h"

namespace {

QLabel *Control(const QDialog &dlg, const char *id)
{
    return dlg.findChild<QLabel *>(QString::fromLatin1(id));
}

// The colour that covers most of a rectangle of the shot: the background
// behind a control, whatever its text.
QRgb DominantColour(const QImage &shot, const QRect &rect)
{
    std::map<QRgb, int> counts;
    for (int y = rect.top(); y <= rect.bottom(); ++y)
        for (int x = rect.left(); x <= rect.right(); ++x)
            ++counts[shot.pixel(x, y)];
    QRgb best = 0;
    int most = -1;
    for (const auto &[colour, count] : counts) {
        if (count > most) {
            best = colour;
            most = count;
        }
    }
    return best;
}

QString Hex(QRgb c) { return QColor(c).name(); }

} // namespace

class UrlCatcher : public QObject {
    Q_OBJECT
public:
    QList<QUrl> opened;
public slots:
    void open(const QUrl &url) { opened << url; }
};

class TestAbout : public QObject {
    Q_OBJECT

private slots:
    void texts()
    {
        CAboutDlg dlg;
        QCOMPARE(dlg.windowTitle(), QStringLiteral("About Vellumo"));

        QLabel *title = Control(dlg, "1024");
        QVERIFY(title);
        QCOMPARE(title->text(), QStringLiteral("Vellumo, Version " VELLUMO_VERSION_TEXT " (%1 bit)")
                                    .arg(int(sizeof(void *) * 8)));
        if (sizeof(void *) == 8)
            QCOMPARE(title->text(), QStringLiteral("Vellumo, Version 3.0.0.1 (64 bit)"));
        QCOMPARE(title->font().family(), QStringLiteral("Arial"));
        QCOMPARE(title->font().pointSize(), 13);

        QLabel *description = Control(dlg, "1029");
        QVERIFY(description);
        QCOMPARE(description->text(),
                 QStringLiteral("Vellumo is a FREE viewer built using Corvanta WSQ Encoder/Decoder API. "
                                "This API is fully FBI Certified for all Windows Operating Systems and "
                                "provides a fast reliable and proven means to add WSQ compression into "
                                "your application."));
        // Every line of it fits in the label, in whatever font the desktop has.
        QVERIFY(description->heightForWidth(description->width()) <= description->height());

        // The notice is one line that is not cut off.
        QLabel *notice = Control(dlg, "1028");
        QVERIFY(notice);
        QVERIFY(!notice->text().isEmpty());
        QVERIFY(!notice->text().contains(QLatin1Char('\n')));
        QVERIFY(notice->fontMetrics().horizontalAdvance(notice->text()) <= notice->width());
        QVERIFY(title->fontMetrics().horizontalAdvance(title->text()) <= title->width());

        // Control 1022 shows the decoder's own version string.
        QLabel *version = Control(dlg, "1022");
        QVERIFY(version);
        QCOMPARE(version->text(), QString::fromUtf8(wsq_version_string()));
        QVERIFY(version->text().startsWith(QStringLiteral("wsq version ")));

        auto *ok = dlg.findChild<QPushButton *>(QStringLiteral("1"));
        QVERIFY(ok);
        QCOMPARE(ok->text(), QStringLiteral("OK"));
        QVERIFY(ok->isDefault());
    }

    void linkOpensTheWebSiteInTheBrowser()
    {
        UrlCatcher catcher;
        QDesktopServices::setUrlHandler(QStringLiteral("https"), &catcher, "open");
        {
            CAboutDlg dlg;
            QLabel *link = Control(dlg, "1005");
            QVERIFY(link);
            QCOMPARE(link->textFormat(), Qt::RichText);
            QVERIFY(!link->openExternalLinks());
            QVERIFY(link->text().contains(QStringLiteral("href=\"%1\"").arg(CAboutDlg::WebSite().toString())));
            QCOMPARE(CAboutDlg::WebSite().scheme(), QStringLiteral("https"));

            emit link->linkActivated(CAboutDlg::WebSite().toString());
        }
        QDesktopServices::unsetUrlHandler(QStringLiteral("https"));
        QCOMPARE(catcher.opened, QList<QUrl>{CAboutDlg::WebSite()});
    }

    void okCloses()
    {
        CAboutDlg dlg;
        dlg.show();
        QVERIFY(QTest::qWaitForWindowExposed(&dlg));
        QTest::mouseClick(dlg.findChild<QPushButton *>(QStringLiteral("1")), Qt::LeftButton);
        QVERIFY(!dlg.isVisible());
        QCOMPARE(dlg.result(), int(QDialog::Accepted));

        CAboutDlg again;
        again.show();
        QVERIFY(QTest::qWaitForWindowExposed(&again));
        QTest::keyClick(&again, Qt::Key_Return);
        QCOMPARE(again.result(), int(QDialog::Accepted));
    }

    void pictures()
    {
        CAboutDlg dlg;
        QLabel *picture = Control(dlg, "1025");
        QVERIFY(picture);
        QCOMPARE(picture->pixmap().size(), QSize(100, 113));
        QCOMPARE(picture->size(), QSize(100, 113));
        // The picture stays inside the dialog and clear of the text beside it.
        QVERIFY(dlg.rect().contains(picture->geometry()));
        QVERIFY(!picture->geometry().intersects(Control(dlg, "1024")->geometry()));
        QVERIFY(!picture->geometry().intersects(Control(dlg, "1029")->geometry()));

        QCOMPARE(QPixmap(QStringLiteral(":/images/update.png")).size(), QSize(150, 117));
        QVERIFY(!dlg.windowIcon().isNull());
    }

    // Upper controls stand on 240 grey, lower ones on 210 grey, and nothing
    // between them draws a patch of another colour.
    void twoToneBackground()
    {
        CAboutDlg dlg;
        dlg.show();
        QVERIFY(QTest::qWaitForWindowExposed(&dlg));
        const QImage shot = dlg.grab().toImage().convertToFormat(QImage::Format_RGB32);
        QCOMPARE(shot.size(), dlg.size());
        const int split = dlg.SplitY();
        const QRgb upper = CAboutDlg::kUpperColor.rgb();
        const QRgb lower = CAboutDlg::kLowerColor.rgb();
        QCOMPARE(upper, qRgb(240, 240, 240));
        QCOMPARE(lower, qRgb(210, 210, 210));

        QCOMPARE(shot.pixel(2, 2), upper);
        QCOMPARE(shot.pixel(2, split - 1), upper);
        QCOMPARE(shot.pixel(2, split), lower);
        QCOMPARE(shot.pixel(shot.width() - 3, shot.height() - 3), lower);

        for (const char *id : {"1024", "1028", "1005", "1029"}) {
            const QRect r = Control(dlg, id)->geometry();
            QVERIFY2(r.bottom() < split, id);
            QVERIFY2(DominantColour(shot, r) == upper, qPrintable(QStringLiteral("%1 on %2").arg(
                                                           QLatin1String(id), Hex(DominantColour(shot, r)))));
        }
        QVERIFY(Control(dlg, "1025")->geometry().bottom() < split);
        const QRect versionRect = Control(dlg, "1022")->geometry();
        QVERIFY(versionRect.top() >= split);
        QCOMPARE(Hex(DominantColour(shot, versionRect)), Hex(lower));

        // Everywhere outside the controls (and a small margin round the
        // button's frame) the background is its half's colour.
        QList<QRect> controls;
        for (QWidget *child : dlg.findChildren<QWidget *>(Qt::FindDirectChildrenOnly))
            controls << child->geometry().adjusted(-3, -3, 3, 3);
        auto *ok = dlg.findChild<QPushButton *>(QStringLiteral("1"));
        QVERIFY(ok->geometry().top() >= split);
        int wrong = 0;
        QString first;
        for (int y = 0; y < shot.height(); ++y) {
            for (int x = 0; x < shot.width(); ++x) {
                const QPoint p(x, y);
                if (std::any_of(controls.begin(), controls.end(), [&](const QRect &r) { return r.contains(p); }))
                    continue;
                const QRgb want = y < split ? upper : lower;
                if (shot.pixel(p) != want && wrong++ == 0)
                    first = QStringLiteral("(%1,%2) is %3").arg(x).arg(y).arg(Hex(shot.pixel(p)));
            }
        }
        QVERIFY2(wrong == 0, qPrintable(first));

        // Right behind a label's text: the row just under the title's glyphs
        // and the tail end of the notice line are plain background.
        const QRect title = Control(dlg, "1024")->geometry();
        QCOMPARE(Hex(shot.pixel(title.right() - 1, title.center().y())), Hex(upper));
        const QRect version = Control(dlg, "1022")->geometry();
        QCOMPARE(Hex(shot.pixel(version.right() - 1, version.bottom() - 1)), Hex(lower));
    }
};

QTEST_MAIN(TestAbout)
#include "tst_about.moc"
