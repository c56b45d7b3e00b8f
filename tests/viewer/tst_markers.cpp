// The marker layer of the image view: hit boxes, the marker menu, edits
// that keep the list's order, and the owner hooks' zoom and origin.
#include <QtTest>

#include <QMenu>
#include <QPainter>
#include <QScrollBar>

#include "imagezoom.h"
#include "quorlandlg.h"
#include "viewertestenv.h"
#include "wsq.h"

namespace {

MinutiaMarker Marker(int x, int y, std::uint32_t type, std::int32_t tag = 0)
{
    MinutiaMarker m;
    m.tag = tag;
    m.x = x;
    m.y = y;
    m.type = type;
    for (int i = 0; i < 5; ++i)
        m.data[i] = tag * 10 + i;
    return m;
}

QImage Gray(int w, int h)
{
    QImage img(w, h, QImage::Format_Grayscale8);
    img.fill(128);
    return img;
}

// Right click at a client point of the view; true when the view kept it.
bool RightClick(CImageZoom &view, QPoint client)
{
    QContextMenuEvent event(QContextMenuEvent::Mouse, client, view.mapToGlobal(client));
    event.ignore();
    QCoreApplication::sendEvent(&view, &event);
    return event.isAccepted();
}

// A shown view at 1.0 in zoom mode from the image's top left: client
// positions equal image positions.
struct OneToOne {
    CImageZoom view;
    OneToOne()
    {
        view.resize(400, 300);
        view.SetBitmap(Gray(1000, 1000));
        view.m_viewMode = CImageZoom::VIEW_ZOOM;
        view.show();
        QVERIFY(QTest::qWaitForWindowExposed(&view));
    }
};

} // namespace

class TestMarkers : public QObject {
    Q_OBJECT
    ViewerTestEnv env;

private slots:
    void initTestCase() { env.Install(); }
    void init() { env.Reset(); }
    void cleanup() { wsq_release_current_image(); }

    void hitBox_data();
    void hitBox();
    void firstOfOverlappingWins();
    void hitFollowsZoomAndScroll();
    void menuByType_data();
    void menuByType();
    void typeChangesKeepOwnerFields();
    void deleteKeepsOrder();
    void dismissedMenuChangesNothing();
    void oneMenuPerClickInTheWindow();
    void paintHookZoomAndOrigin();
    void mouseHooksZoomAndOrigin();
};

void TestMarkers::hitBox_data()
{
    QTest::addColumn<QPoint>("offset");
    QTest::addColumn<bool>("hit");
    QTest::newRow("centre") << QPoint(0, 0) << true;
    QTest::newRow("7 right") << QPoint(7, 0) << true;
    QTest::newRow("8 right") << QPoint(8, 0) << false;
    QTest::newRow("8 left") << QPoint(-8, 0) << true;
    QTest::newRow("9 left") << QPoint(-9, 0) << false;
    QTest::newRow("7 down") << QPoint(0, 7) << true;
    QTest::newRow("8 down") << QPoint(0, 8) << false;
    QTest::newRow("8 up") << QPoint(0, -8) << true;
    QTest::newRow("corner in") << QPoint(-8, 7) << true;
    QTest::newRow("corner out") << QPoint(8, -8) << false;
}

void TestMarkers::hitBox()
{
    QFETCH(QPoint, offset);
    QFETCH(bool, hit);
    OneToOne s;
    s.view.m_markers = {Marker(100, 100, MINUTIA_RIDGE_ENDING)};
    const QPoint at = QPoint(100, 100) + offset;
    QCOMPARE(s.view.MarkerAt(at), hit ? 0 : -1);
    QCOMPARE(RightClick(s.view, at), hit);
    QCOMPARE(env.popups.size(), hit ? 1 : 0);
}

void TestMarkers::firstOfOverlappingWins()
{
    OneToOne s;
    s.view.m_markers = {Marker(100, 100, MINUTIA_BIFURCATION, 1), Marker(106, 100, MINUTIA_UNKNOWN, 2)};
    QCOMPARE(s.view.MarkerAt(QPoint(104, 100)), 0);
    QCOMPARE(s.view.MarkerAt(QPoint(110, 100)), 1); // only the second's box
    env.popupAnswer = IDM_MARKER_DELETE;
    QVERIFY(RightClick(s.view, QPoint(104, 100)));
    QCOMPARE(s.view.m_markers.size(), std::size_t(1));
    QCOMPARE(s.view.m_markers[0].tag, 2);
}

void TestMarkers::hitFollowsZoomAndScroll()
{
    OneToOne s;
    s.view.SetZoom(2.0f);
    s.view.HorizontalBar()->setValue(50);
    s.view.VerticalBar()->setValue(20);
    s.view.m_markers = {Marker(100, 100, MINUTIA_BIFURCATION)};
    // (100 - 50) * 2, (100 - 20) * 2
    QCOMPARE(s.view.ImageToClient(100, 100), QPointF(100, 160));
    QCOMPARE(s.view.MarkerAt(QPoint(100, 160)), 0);
    QCOMPARE(s.view.MarkerAt(QPoint(100, 100)), -1);

    // Fit mode: 1000 x 1000 in 400 x 300 is 0.3, centred at x 50.
    s.view.m_viewMode = CImageZoom::VIEW_FIT;
    s.view.repaint();
    QCOMPARE(s.view.m_zoom, 0.3f);
    QCOMPARE(s.view.m_fitLeft, 50);
    const QPointF q = s.view.ImageToClient(100, 100);
    QVERIFY(qAbs(q.x() - 80.0) < 1e-4 && qAbs(q.y() - 30.0) < 1e-4);
    QCOMPARE(s.view.MarkerAt(q.toPoint()), 0);
}

void TestMarkers::menuByType_data()
{
    QTest::addColumn<uint>("type");
    QTest::addColumn<QStringList>("texts");
    QTest::addColumn<QString>("checked");
    const QStringList full{"Bifurcation", "Ridge Ending", "Unknown", "-", "Delete"};
    QTest::newRow("bifurcation") << 0u << full << "Bifurcation";
    QTest::newRow("ridge ending") << 1u << full << "Ridge Ending";
    QTest::newRow("unknown") << 2u << full << "Unknown";
    QTest::newRow("owner type 5") << 5u << QStringList{"Delete"} << "";
    QTest::newRow("owner type 3") << 3u << QStringList{"Delete"} << "";
}

void TestMarkers::menuByType()
{
    QFETCH(uint, type);
    QFETCH(QStringList, texts);
    QFETCH(QString, checked);
    OneToOne s;
    s.view.m_markers = {Marker(60, 60, type)};
    QStringList checks;
    QList<int> ids;
    vellumo::ui::setPopupMenuHandler([&](QMenu &menu, const QPoint &) {
        QStringList shown;
        for (QAction *a : menu.actions()) {
            shown << (a->isSeparator() ? QStringLiteral("-") : a->text());
            if (a->isChecked())
                checks << a->text();
            if (!a->isSeparator())
                ids << a->data().toInt();
        }
        env.popups << shown;
        return 0;
    });
    QVERIFY(RightClick(s.view, QPoint(60, 60)));
    env.Install();
    QCOMPARE(env.popups.size(), 1);
    QCOMPARE(env.popups[0], texts);
    QCOMPARE(checks, checked.isEmpty() ? QStringList() : QStringList{checked});
    QCOMPARE(ids.back(), int(IDM_MARKER_DELETE));
    if (ids.size() == 4)
        QCOMPARE(ids, (QList<int>{1, 2, 3, 4}));
}

void TestMarkers::typeChangesKeepOwnerFields()
{
    OneToOne s;
    s.view.m_markers = {Marker(60, 60, MINUTIA_BIFURCATION, 7)};
    const struct { int id; std::uint32_t type; } steps[] = {
        {IDM_MARKER_RIDGE_ENDING, MINUTIA_RIDGE_ENDING},
        {IDM_MARKER_UNKNOWN, MINUTIA_UNKNOWN},
        {IDM_MARKER_BIFURCATION, MINUTIA_BIFURCATION},
    };
    for (const auto &step : steps) {
        env.popupAnswer = step.id;
        QVERIFY(RightClick(s.view, QPoint(60, 60)));
        QCOMPARE(s.view.m_markers[0].type, step.type);
    }
    const MinutiaMarker &m = s.view.m_markers[0];
    QCOMPARE(m.tag, 7);
    QCOMPARE(m.x, 60);
    QCOMPARE(m.y, 60);
    for (int i = 0; i < 5; ++i)
        QCOMPARE(m.data[i], 70 + i);
}

void TestMarkers::deleteKeepsOrder()
{
    OneToOne s;
    s.view.m_markers = {Marker(50, 50, 0, 1), Marker(150, 50, 1, 2), Marker(250, 50, 2, 3)};
    env.popupAnswer = IDM_MARKER_DELETE;
    QVERIFY(RightClick(s.view, QPoint(150, 50)));
    QCOMPARE(s.view.m_markers.size(), std::size_t(2));
    QCOMPARE(s.view.m_markers[0].tag, 1);
    QCOMPARE(s.view.m_markers[1].tag, 3);
    QCOMPARE(s.view.m_markers[1].x, 250);
}

void TestMarkers::dismissedMenuChangesNothing()
{
    OneToOne s;
    s.view.m_markers = {Marker(50, 50, MINUTIA_RIDGE_ENDING, 1), Marker(150, 50, 5, 2)};
    env.popupAnswer = 0;
    QVERIFY(RightClick(s.view, QPoint(50, 50)));
    QVERIFY(RightClick(s.view, QPoint(150, 50)));
    QCOMPARE(s.view.m_markers.size(), std::size_t(2));
    QCOMPARE(s.view.m_markers[0].type, std::uint32_t(MINUTIA_RIDGE_ENDING));
    QCOMPARE(s.view.m_markers[1].type, 5u);
}

void TestMarkers::oneMenuPerClickInTheWindow()
{
    CquorlanDlg w;
    w.resize(600, 500);
    w.show();
    QVERIFY(QTest::qWaitForWindowExposed(&w));
    CImageZoom *view = w.view();

    // No markers: the request goes on to the window's image menu.
    RightClick(*view, QPoint(100, 100));
    QCOMPARE(env.popups.size(), 1);
    QVERIFY2(env.popups[0].contains("Copy to clipboard"), qPrintable(env.popups[0].join('|')));

    // Over a marker: the marker menu only.
    view->SetBitmap(Gray(500, 500));
    view->m_viewMode = CImageZoom::VIEW_ZOOM;
    view->m_markers = {Marker(100, 100, MINUTIA_BIFURCATION)};
    env.popups.clear();
    QVERIFY(RightClick(*view, QPoint(100, 100)));
    QCOMPARE(env.popups.size(), 1);
    QCOMPARE(env.popups[0].back(), QStringLiteral("Delete"));

    // Beside it: the image menu again.
    env.popups.clear();
    RightClick(*view, QPoint(200, 200));
    QCOMPARE(env.popups.size(), 1);
    QVERIFY(env.popups[0].contains("Copy to clipboard"));
}

void TestMarkers::paintHookZoomAndOrigin()
{
    CImageZoom view;
    view.resize(500, 500);
    view.SetBitmap(Gray(1000, 500));
    view.m_markers = {Marker(500, 250, MINUTIA_BIFURCATION)};
    QList<std::tuple<float, int, int>> calls;
    view.m_paintHook = [&](QPainter &p, float zoom, int ox, int oy) {
        calls << std::make_tuple(zoom, ox, oy);
        QVERIFY(p.testRenderHint(QPainter::Antialiasing));
        for (const MinutiaMarker &m : view.m_markers) {
            const QPointF c((m.x - ox) * zoom, (m.y - oy) * zoom);
            p.fillRect(QRectF(c - QPointF(3, 3), QSizeF(6, 6)), Qt::red);
        }
        p.fillRect(QRect(0, 0, 10, 10), Qt::blue); // outside the image: covered by the margin
    };

    // Fit: 0.5, image from y 125, so the client origin is image (0, -250).
    QImage shot = view.grab().toImage();
    QCOMPARE(calls.size(), 1);
    QCOMPARE(calls.back(), std::make_tuple(0.5f, 0, -250));
    QCOMPARE(view.m_viewOrigin, QPoint(0, -250));
    QCOMPARE(shot.pixel(250, 250), qRgb(255, 0, 0));  // marker at ((500-0)*.5, (250+250)*.5)
    QCOMPARE(shot.pixel(5, 5), qRgb(240, 240, 240));  // the band above the image
    QCOMPARE(shot.pixel(5, 200), qRgb(128, 128, 128));

    // Zoom 2.0, scrolled to (300, 200): origin is the scroll position.
    view.m_viewMode = CImageZoom::VIEW_ZOOM;
    view.SetZoom(2.0f);
    view.HorizontalBar()->setValue(300);
    view.VerticalBar()->setValue(200);
    shot = view.grab().toImage();
    QCOMPARE(calls.back(), std::make_tuple(2.0f, 300, 200));
    QCOMPARE(shot.pixel(400, 100), qRgb(255, 0, 0)); // ((500-300)*2, (250-200)*2)
    QCOMPARE(shot.pixel(5, 5), qRgb(0, 0, 255));     // over the image the hook's drawing stays

    // No image: no hook.
    view.SetBitmap(QImage());
    const int before = int(calls.size());
    view.grab();
    QCOMPARE(int(calls.size()), before);
}

void TestMarkers::mouseHooksZoomAndOrigin()
{
    OneToOne s;
    s.view.SetZoom(2.0f);
    s.view.HorizontalBar()->setValue(100);
    s.view.VerticalBar()->setValue(100);
    struct Call { QPoint pos; float zoom; QPoint origin; bool dragging; };
    QList<Call> downs, moves;
    s.view.m_mouseDownHook = [&](const QPoint &p, float z, int ox, int oy) {
        downs << Call{p, z, {ox, oy}, s.view.m_dragging};
    };
    s.view.m_mouseMoveHook = [&](const QPoint &p, float z, int ox, int oy) {
        moves << Call{p, z, {ox, oy}, s.view.m_dragging};
    };

    QTest::mouseMove(&s.view, QPoint(30, 30));
    QCOMPARE(moves.size(), 1); // moves without a button reach the hook too
    QCOMPARE(moves[0].origin, QPoint(100, 100));
    QTest::mousePress(&s.view, Qt::LeftButton, {}, QPoint(50, 60));
    QCOMPARE(downs.size(), 1);
    QCOMPARE(downs[0].pos, QPoint(50, 60));
    QCOMPARE(downs[0].zoom, 2.0f);
    QCOMPARE(downs[0].origin, QPoint(100, 100));
    QVERIFY(downs[0].dragging); // called after the drag has started
    QTest::mouseMove(&s.view, QPoint(90, 60));
    // After panning: the view moved left by 40 / 2 image pixels.
    QCOMPARE(moves.back().pos, QPoint(90, 60));
    QCOMPARE(moves.back().origin, QPoint(80, 100));
    QTest::mouseRelease(&s.view, Qt::LeftButton, {}, QPoint(90, 60));

    // Fit mode: the origin of the fitted image. 1000 x 1000 in 400 x 300
    // is 0.3 from x 50: trunc(-50 / 0.3) = -166.
    s.view.m_viewMode = CImageZoom::VIEW_FIT;
    s.view.repaint();
    QTest::mousePress(&s.view, Qt::LeftButton, {}, QPoint(10, 10));
    QCOMPARE(downs.back().zoom, 0.3f);
    QCOMPARE(downs.back().origin, QPoint(-166, 0));
    QTest::mouseRelease(&s.view, Qt::LeftButton, {}, QPoint(10, 10));
}

QTEST_MAIN(TestMarkers)
#include "tst_markers.moc"
