// The recent-files list: order, limit, case, gaps in the store, the menu.
#include <QtTest>

#include <QMenu>

#include <memory>

#include "commandids.h"
#include "recentfiles.h"
#include "viewertestenv.h"

using namespace vellumo;

namespace {

QStringList MenuTexts(QMenu &menu)
{
    QStringList texts;
    for (QAction *a : menu.actions())
        texts << a->text();
    return texts;
}

std::unique_ptr<QSettings> Store()
{
    auto s = std::make_unique<QSettings>(QStringLiteral("Corvanta"), QStringLiteral("Vellumo"));
    s->beginGroup(QStringLiteral("Recent Files"));
    return s;
}

QStringList Open(QMenu &menu, const QStringList &paths)
{
    QStringList shown;
    for (const QString &p : paths)
        shown = UpdateRecentFiles(&menu, &p);
    return shown;
}

} // namespace

class TestRecentFiles : public QObject {
    Q_OBJECT
    ViewerTestEnv env;

private slots:
    void initTestCase() { env.Install(); }
    void init() { env.Reset(); }

    void emptyListShowsDisabledPlaceholder();
    void moveToTop_data();
    void moveToTop();
    void tenAtMost();
    void missingValueHidesLaterOnes();
    void storedValuesAreReadBack();
    void menuItemsCarryCommands();
};

void TestRecentFiles::emptyListShowsDisabledPlaceholder()
{
    QMenu menu;
    QVERIFY(UpdateRecentFiles(&menu, nullptr).isEmpty());
    QCOMPARE(MenuTexts(menu), QStringList{"No Recent Files"});
    QAction *none = menu.actions().front();
    QVERIFY(!none->isEnabled());
    QCOMPARE(none->data().toInt(), int(ID_RECENT_FILE_BASE));
    // Rebuilding without a path writes nothing.
    QVERIFY(Store()->childKeys().isEmpty());
}

void TestRecentFiles::moveToTop_data()
{
    QTest::addColumn<QStringList>("opened");
    QTest::addColumn<QStringList>("expected");

    QTest::newRow("A B C") << QStringList{"/p/A", "/p/B", "/p/C"} << QStringList{"/p/C", "/p/B", "/p/A"};
    QTest::newRow("A B C then B") << QStringList{"/p/A", "/p/B", "/p/C", "/p/B"}
                                  << QStringList{"/p/B", "/p/C", "/p/A"};
    QTest::newRow("first again") << QStringList{"/p/A", "/p/B", "/p/B"} << QStringList{"/p/B", "/p/A"};
    QTest::newRow("last again") << QStringList{"/p/A", "/p/B", "/p/C", "/p/A"}
                                << QStringList{"/p/A", "/p/C", "/p/B"};
    QTest::newRow("case differs") << QStringList{"/p/print.wsq", "/p/Print.wsq", "/p/PRINT.WSQ"}
                                  << QStringList{"/p/PRINT.WSQ", "/p/Print.wsq", "/p/print.wsq"};
    QTest::newRow("non-ASCII") << QStringList{QString::fromUtf8("/p/指紋.wsq"), QString::fromUtf8("/p/Ünï.wsq")}
                               << QStringList{QString::fromUtf8("/p/Ünï.wsq"), QString::fromUtf8("/p/指紋.wsq")};
}

void TestRecentFiles::moveToTop()
{
    QFETCH(QStringList, opened);
    QFETCH(QStringList, expected);
    QMenu menu;
    QCOMPARE(Open(menu, opened), expected);
    QCOMPARE(MenuTexts(menu), expected);

    // The store holds the same order as "File 1" ... "File n".
    const auto store = Store();
    for (int i = 0; i < expected.size(); ++i)
        QCOMPARE(store->value(QStringLiteral("File %1").arg(i + 1)).toString(), expected[i]);
    QVERIFY(!store->contains(QStringLiteral("File %1").arg(expected.size() + 1)));

    // A fresh read (another start) shows the same list.
    QMenu again;
    QCOMPARE(UpdateRecentFiles(&again, nullptr), expected);
}

void TestRecentFiles::tenAtMost()
{
    QStringList paths;
    for (int i = 1; i <= 11; ++i)
        paths << QStringLiteral("/p/file%1.wsq").arg(i);
    QMenu menu;
    const QStringList shown = Open(menu, paths);
    QCOMPARE(shown.size(), 10);
    QCOMPARE(shown.front(), QStringLiteral("/p/file11.wsq"));
    QCOMPARE(shown.back(), QStringLiteral("/p/file2.wsq"));
    QVERIFY(!shown.contains(QStringLiteral("/p/file1.wsq")));
    QCOMPARE(menu.actions().size(), 10);
    const auto store = Store();
    QCOMPARE(store->value("File 10").toString(), QStringLiteral("/p/file2.wsq"));
    QVERIFY(!store->contains("File 11"));
}

void TestRecentFiles::missingValueHidesLaterOnes()
{
    {
        const auto store = Store();
        store->setValue("File 1", "/p/one.wsq");
        for (int i = 3; i <= 10; ++i)
            store->setValue(QStringLiteral("File %1").arg(i), QStringLiteral("/p/f%1.wsq").arg(i));
    }
    QMenu menu;
    QCOMPARE(UpdateRecentFiles(&menu, nullptr), QStringList{"/p/one.wsq"});
    QCOMPARE(MenuTexts(menu), QStringList{"/p/one.wsq"});

    // A new file goes on top; the gap moves down with the list and the
    // store keeps no path that the menu would not show.
    const QString fresh = QStringLiteral("/p/new.wsq");
    QCOMPARE(UpdateRecentFiles(&menu, &fresh), (QStringList{"/p/new.wsq", "/p/one.wsq"}));
    const auto store = Store();
    QCOMPARE(store->value("File 1").toString(), fresh);
    QCOMPARE(store->value("File 2").toString(), QStringLiteral("/p/one.wsq"));
    QVERIFY(!store->contains("File 3"));
    QCOMPARE(store->value("File 4").toString(), QStringLiteral("/p/f3.wsq"));
}

void TestRecentFiles::storedValuesAreReadBack()
{
    {
        const auto store = Store();
        store->setValue("File 1", QString::fromUtf8("/p/a\0tail", 9)); // ends at the NUL
        store->setValue("File 2", "/p/b.wsq");
    }
    RecentList list = ReadRecentFiles();
    QCOMPARE(*list[0], QStringLiteral("/p/a"));
    QCOMPARE(*list[1], QStringLiteral("/p/b.wsq"));
    QVERIFY(!list[2]);

    // An empty value names no file and counts as missing.
    Store()->setValue("File 1", QString());
    QVERIFY(ShownEntries(ReadRecentFiles()).isEmpty());
}

void TestRecentFiles::menuItemsCarryCommands()
{
    QMenu menu;
    Open(menu, {"/p/a.wsq", "/p/Tom & Jerry.wsq", "/p/c.wsq"});
    const QList<QAction *> items = menu.actions();
    QCOMPARE(items.size(), 3);
    for (int k = 0; k < 3; ++k) {
        QCOMPARE(items[k]->data().toInt(), int(ID_RECENT_FILE_BASE) + k);
        QVERIFY(items[k]->isEnabled());
    }
    // '&' is shown, not taken for a mnemonic; the path itself is kept.
    QCOMPARE(items[1]->text(), QStringLiteral("/p/Tom && Jerry.wsq"));
    QCOMPARE(items[1]->toolTip(), QStringLiteral("/p/Tom & Jerry.wsq"));
}

QTEST_MAIN(TestRecentFiles)
#include "tst_recentfiles.moc"
