// Icons on the Open, Check for Updates and About items, and the artwork
// they and the window icon are made from.
#include <QtTest>

#include <QMenu>
#include <QMenuBar>
#include <QStyle>

#include "commandids.h"
#include "menuicons.h"

using namespace vellumo;

namespace {

QAction *AddCommand(QMenu *menu, const QString &text, int id)
{
    QAction *action = menu->addAction(text);
    action->setData(id);
    return action;
}

// A menu bar shaped like the main window's: the commands sit in popups,
// one of them a level deeper, next to separators and plain submenus.
struct Menus {
    QMenuBar bar;
    QAction *open = nullptr;
    QAction *copy = nullptr;
    QAction *update = nullptr;
    QAction *about = nullptr;
    QAction *recent = nullptr;

    Menus()
    {
        QMenu *file = bar.addMenu(QStringLiteral("&File"));
        open = AddCommand(file, QStringLiteral("&Open"), ID_CMD_OPEN);
        AddCommand(file, QStringLiteral("&Save As"), ID_CMD_SAVE_AS);
        QMenu *recentMenu = file->addMenu(QStringLiteral("Recent Files"));
        recent = AddCommand(recentMenu, QStringLiteral("/tmp/a.wsq"), ID_RECENT_FILE_BASE);
        file->addSeparator();
        QMenu *edit = bar.addMenu(QStringLiteral("&Edit"));
        copy = AddCommand(edit, QStringLiteral("&Copy"), ID_CMD_COPY);
        QMenu *help = bar.addMenu(QStringLiteral("&Help"));
        QMenu *deeper = help->addMenu(QStringLiteral("Online"));
        update = AddCommand(deeper, QStringLiteral("&Check for Updates"), ID_CMD_CHECK_UPDATES);
        help->addSeparator();
        about = AddCommand(help, QStringLiteral("&About"), ID_CMD_ABOUT);
    }
};

QImage Image(const QPixmap &p) { return p.toImage().convertToFormat(QImage::Format_ARGB32); }

int OpaquePixels(const QImage &img)
{
    int n = 0;
    for (int y = 0; y < img.height(); ++y)
        for (int x = 0; x < img.width(); ++x)
            n += qAlpha(img.pixel(x, y)) > 0;
    return n;
}

} // namespace

class TestMenuIcons : public QObject {
    Q_OBJECT

private slots:
    void setMenuItemIconFindsItemsInAnyPopup()
    {
        Menus m;
        const QIcon icon(MenuIconPixmap(QStringLiteral("about"), 16));
        QCOMPARE(SetMenuItemIcon(&m.bar, ID_RECENT_FILE_BASE, icon), 0);
        QVERIFY(!m.recent->icon().isNull());
        QCOMPARE(SetMenuItemIcon(&m.bar, ID_CMD_CHECK_UPDATES, icon), 0);
        QVERIFY(!m.update->icon().isNull());
        QVERIFY(m.open->icon().isNull());

        // Unknown commands, the id of actions without a command (separators,
        // submenus) and a missing menu bar find nothing.
        QCOMPARE(SetMenuItemIcon(&m.bar, 12345, icon), -1);
        QCOMPARE(SetMenuItemIcon(&m.bar, 0, icon), -1);
        QCOMPARE(SetMenuItemIcon(nullptr, ID_CMD_OPEN, icon), -1);
        for (QMenu *popup : m.bar.findChildren<QMenu *>())
            QVERIFY(popup->menuAction()->icon().isNull());
    }

    void attachesTheThreeIconsAtTheSmallIconSize()
    {
        Menus m;
        AttachMenuIcons(&m.bar);
        const int size = m.bar.style()->pixelMetric(QStyle::PM_SmallIconSize, nullptr, &m.bar);
        QVERIFY(size > 0);
        for (QAction *a : {m.open, m.update, m.about}) {
            QVERIFY2(!a->icon().isNull(), qPrintable(a->text()));
            QCOMPARE(a->icon().availableSizes().value(0), QSize(size, size));
            QVERIFY(OpaquePixels(Image(a->icon().pixmap(size))) > size * size / 4);
        }
        QVERIFY(m.copy->icon().isNull());
        QVERIFY(m.recent->icon().isNull());
        // Three different pictures.
        QVERIFY(Image(m.open->icon().pixmap(size)) != Image(m.about->icon().pixmap(size)));
        QVERIFY(Image(m.open->icon().pixmap(size)) != Image(m.update->icon().pixmap(size)));
        AttachMenuIcons(nullptr);
    }

    // 16, 20 and 24 pixels use their own drawings, not a scaled copy of
    // another size; other sizes still come out at the size asked for.
    void pixmapsPerSize()
    {
        for (const char *name : {"open", "check-updates", "about"}) {
            const QString n = QString::fromLatin1(name);
            for (int size : {16, 20, 24}) {
                const QPixmap p = MenuIconPixmap(n, size);
                QCOMPARE(p.size(), QSize(size, size));
                QCOMPARE(Image(p), Image(QPixmap(QStringLiteral(":/icons/%1-%2.png").arg(n).arg(size))));
                // Transparent surroundings: the menu's colour shows through.
                QVERIFY(OpaquePixels(Image(p)) < size * size);
            }
            const QImage scaled = Image(MenuIconPixmap(n, 24).scaled(16, 16, Qt::IgnoreAspectRatio,
                                                                     Qt::SmoothTransformation));
            QVERIFY(Image(MenuIconPixmap(n, 16)) != scaled);
            for (int size : {18, 32, 48})
                QCOMPARE(MenuIconPixmap(n, size).size(), QSize(size, size));
        }
        QVERIFY(MenuIconPixmap(QStringLiteral("no-such-icon"), 16).isNull());
        QVERIFY(MenuIconPixmap(QStringLiteral("open"), 0).isNull());
    }

    void appIconHasTheDesktopSizes()
    {
        const QIcon icon = VellumoAppIcon();
        const QList<QSize> sizes = icon.availableSizes();
        for (int s : {16, 22, 24, 32, 48, 64, 128, 256})
            QVERIFY2(sizes.contains(QSize(s, s)), qPrintable(QString::number(s)));
        // The small sizes are drawings of their own, with ink on them.
        for (int s : {16, 32, 256}) {
            const QImage img = Image(icon.pixmap(s));
            QCOMPARE(img.size(), QSize(s, s));
            QVERIFY(OpaquePixels(img) > s * s / 2);
        }
    }

    void menusWithoutIconsStillWork()
    {
        QCoreApplication::setAttribute(Qt::AA_DontShowIconsInMenus, true);
        Menus m;
        AttachMenuIcons(&m.bar);
        QVERIFY(!m.open->icon().isNull());
        QVERIFY(!m.open->isIconVisibleInMenu());
        QMenu *file = m.open->associatedObjects().isEmpty() ? nullptr
                                                            : qobject_cast<QMenu *>(m.open->associatedObjects().first());
        QVERIFY(file);
        const QImage shot = file->grab().toImage();
        QVERIFY(!shot.isNull());
        QCoreApplication::setAttribute(Qt::AA_DontShowIconsInMenus, false);
        QVERIFY(m.open->isIconVisibleInMenu());
    }
};

QTEST_MAIN(TestMenuIcons)
#include "tst_menuicons.moc"
