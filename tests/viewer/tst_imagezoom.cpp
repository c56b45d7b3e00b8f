// The image view: fit geometry, zoom steps and clamps, scroll bars, drag
// panning and what reaches the screen.
#include <QtTest>

#include <QScrollBar>

#include "imagezoom.h"

namespace {

// Gray level = column mod 256 (or row mod 256): positions can be read back
// from the screen.
QImage ColumnRamp(int w, int h)
{
    QImage img(w, h, QImage::Format_Grayscale8);
    for (int y = 0; y < h; ++y) {
        uchar *row = img.scanLine(y);
        for (int x = 0; x < w; ++x)
            row[x] = uchar(x % 256);
    }
    return img;
}

QImage Flat(int w, int h, int level)
{
    QImage img(w, h, QImage::Format_Grayscale8);
    img.fill(level);
    return img;
}

int GrayAt(const QImage &shot, int x, int y)
{
    const QRgb c = shot.pixel(x, y);
    return qRed(c) == qGreen(c) && qGreen(c) == qBlue(c) ? qRed(c) : -1;
}

bool IsBackground(const QImage &shot, int x, int y)
{
    return shot.pixel(x, y) == qRgb(240, 240, 240);
}

// A shown view of a given client size; counts its paints.
struct ShownView {
    CImageZoom view;
    int paints = 0;
    explicit ShownView(QSize client)
    {
        view.resize(client);
        view.show();
        QVERIFY(QTest::qWaitForWindowExposed(&view));
        view.installEventFilter(&counter);
        counter.paints = &paints;
    }
    QImage Shot() { return view.grab().toImage().convertToFormat(QImage::Format_RGB32); }
    // Lets pending paints happen: returns once 50 ms pass without one.
    void Settle()
    {
        for (int i = 0; i < 40; ++i) {
            const int before = paints;
            QTest::qWait(50);
            if (paints == before)
                return;
        }
    }

    struct Counter : QObject {
        int *paints = nullptr;
        bool eventFilter(QObject *, QEvent *e) override
        {
            if (e->type() == QEvent::Paint && paints)
                ++*paints;
            return false;
        }
    } counter;
};

} // namespace

class TestImageZoom : public QObject {
    Q_OBJECT
private slots:
    void fitGeometry_data();
    void fitGeometry();
    void zoomStepsAndClamps_data();
    void zoomStepsAndClamps();
    void zoomKeepsCentre();
    void zoomModeShowsBothBarsAndCorner();
    void thumbMovesView();
    void arrowsAndTrackDoNotScroll();
    void dragFollowsPointer();
    void doubleClickStartsDrag();
    void secondImageKeepsModeAndFactor();
    void emptyViewIsBackground();
    void oneToOneIsExact();
};

void TestImageZoom::fitGeometry_data()
{
    QTest::addColumn<QSize>("image");
    QTest::addColumn<QSize>("client");
    QTest::addColumn<float>("zoom");
    QTest::addColumn<QRect>("fitted");

    QTest::newRow("wide in square") << QSize(1000, 500) << QSize(500, 500) << 0.5f << QRect(0, 125, 500, 250);
    QTest::newRow("tall in square") << QSize(500, 1000) << QSize(500, 500) << 0.5f << QRect(125, 0, 250, 500);
    QTest::newRow("small is enlarged") << QSize(100, 50) << QSize(400, 400) << 4.0f << QRect(0, 100, 400, 200);
    QTest::newRow("odd client") << QSize(300, 300) << QSize(501, 300) << 1.0f << QRect(100, 0, 300, 300);
}

void TestImageZoom::fitGeometry()
{
    QFETCH(QSize, image);
    QFETCH(QSize, client);
    QFETCH(float, zoom);
    QFETCH(QRect, fitted);

    ShownView s(client);
    s.view.SetBitmap(Flat(image.width(), image.height(), 20));
    const QImage shot = s.Shot();

    QCOMPARE(s.view.m_zoom, zoom);
    QCOMPARE(QRect(s.view.m_fitLeft, s.view.m_fitTop, s.view.m_fitWidth, s.view.m_fitHeight), fitted);
    QVERIFY(s.view.HorizontalBar()->isHidden());
    QVERIFY(s.view.VerticalBar()->isHidden());

    // Inside the fitted rectangle the image, everywhere else background.
    QCOMPARE(GrayAt(shot, fitted.center().x(), fitted.center().y()), 20);
    QCOMPARE(GrayAt(shot, fitted.left(), fitted.top()), 20);
    QCOMPARE(GrayAt(shot, fitted.right(), fitted.bottom()), 20);
    if (fitted.top() > 0) {
        QVERIFY(IsBackground(shot, client.width() / 2, fitted.top() - 1));
        QVERIFY(IsBackground(shot, client.width() / 2, fitted.bottom() + 1));
    }
    if (fitted.left() > 0) {
        QVERIFY(IsBackground(shot, fitted.left() - 1, client.height() / 2));
        QVERIFY(IsBackground(shot, fitted.right() + 1, client.height() / 2));
    }
    QVERIFY(IsBackground(shot, 0, 0) == (fitted.topLeft() != QPoint(0, 0)));
}

void TestImageZoom::zoomStepsAndClamps_data()
{
    QTest::addColumn<float>("start");
    QTest::addColumn<float>("step");
    QTest::addColumn<float>("expected");
    QTest::addColumn<bool>("repaints");

    QTest::newRow("in from fit 0.45") << 0.45f << 0.2f << 0.65f << true;
    QTest::newRow("in from 2.9 clamps") << 2.9f << 0.2f << 3.0f << true;
    QTest::newRow("in at 3.0 does nothing") << 3.0f << 0.2f << 3.0f << false;
    QTest::newRow("out from 0.6 clamps") << 0.6f << -0.2f << 0.5f << true;
    QTest::newRow("out at 0.5 does nothing") << 0.5f << -0.2f << 0.5f << false;
    QTest::newRow("out from 1.0") << 1.0f << -0.2f << 0.8f << true;
}

void TestImageZoom::zoomStepsAndClamps()
{
    QFETCH(float, start);
    QFETCH(float, step);
    QFETCH(float, expected);
    QFETCH(bool, repaints);

    ShownView s(QSize(520, 520));
    s.view.SetBitmap(ColumnRamp(2000, 2000));
    s.view.m_viewMode = CImageZoom::VIEW_ZOOM;
    s.view.m_zoom = start;
    {
        const QSignalBlocker b(s.view.HorizontalBar());
        s.view.HorizontalBar()->setValue(400);
    }
    s.Settle();
    s.paints = 0;

    s.view.SetZoom(s.view.m_zoom + step); // single-precision, as the commands do
    s.Settle();

    QCOMPARE(s.view.m_zoom, expected);
    QCOMPARE(s.paints > 0, repaints);
    if (!repaints) {
        QCOMPARE(s.view.HorizontalPosition(), 400);
        return;
    }
    // The page follows the factor: whole image pixels in the client less the bar.
    QCOMPARE(s.view.HorizontalBar()->pageStep(), int(500.0f / expected));
}

void TestImageZoom::zoomKeepsCentre()
{
    ShownView s(QSize(520, 520)); // vw = vh = 500
    s.view.SetBitmap(ColumnRamp(2000, 2000));
    s.view.m_viewMode = CImageZoom::VIEW_ZOOM;
    s.view.m_zoom = 1.0f;
    s.view.SetZoom(1.0f);
    QCOMPARE(s.view.HorizontalPosition(), 0);

    s.view.SetZoom(2.0f);
    QCOMPARE(s.view.HorizontalPosition(), 125); // (500 - 250) / 2
    QCOMPARE(s.view.VerticalPosition(), 125);

    s.view.SetZoom(1.0f); // back out: the same centre column
    QCOMPARE(s.view.HorizontalPosition(), 0);

    // The bar's limits win: at the right end a zoom out cannot go past it.
    s.view.HorizontalBar()->setValue(s.view.HorizontalBar()->maximum());
    QCOMPARE(s.view.HorizontalPosition(), 2000 - 500);
    s.view.SetZoom(0.5f);
    QCOMPARE(s.view.HorizontalPosition(), 2000 - 1000);
}

void TestImageZoom::zoomModeShowsBothBarsAndCorner()
{
    ShownView s(QSize(400, 300));
    s.view.SetBitmap(Flat(50, 40, 10)); // fits many times over
    s.view.m_viewMode = CImageZoom::VIEW_ZOOM;
    s.view.update();
    s.Settle();
    QImage shot = s.Shot();
    QVERIFY(!s.view.HorizontalBar()->isHidden());
    QVERIFY(!s.view.VerticalBar()->isHidden());
    QCOMPARE(s.view.HorizontalBar()->geometry(), QRect(0, 280, 380, 20));
    QCOMPARE(s.view.VerticalBar()->geometry(), QRect(380, 0, 20, 280));
    QVERIFY(IsBackground(shot, 390, 290)); // the corner square
    QCOMPARE(GrayAt(shot, 25, 20), 10);    // image at 1.0 from the top left
    QVERIFY(IsBackground(shot, 50, 20));   // right of the image
    QVERIFY(IsBackground(shot, 25, 40));   // below it

    // Zoom to fit hides them again.
    s.view.m_viewMode = CImageZoom::VIEW_FIT;
    s.view.update();
    shot = s.Shot();
    QVERIFY(s.view.HorizontalBar()->isHidden());
    QVERIFY(s.view.VerticalBar()->isHidden());
}

void TestImageZoom::thumbMovesView()
{
    ShownView s(QSize(520, 520));
    s.view.SetBitmap(ColumnRamp(2000, 1000));
    s.view.m_viewMode = CImageZoom::VIEW_ZOOM;
    s.view.update();
    s.Settle();

    // Dragging the thumb reports SliderMove with the new position.
    s.view.HorizontalBar()->setSliderPosition(300);
    QCOMPARE(s.view.HorizontalPosition(), 300);
    const QImage shot = s.Shot();
    QCOMPARE(GrayAt(shot, 0, 10), 300 % 256);
    QCOMPARE(GrayAt(shot, 1, 10), 301 % 256);
    QCOMPARE(s.view.ImageToClient(300, 0), QPointF(0, 0));
}

void TestImageZoom::arrowsAndTrackDoNotScroll()
{
    ShownView s(QSize(520, 520));
    s.view.SetBitmap(ColumnRamp(2000, 2000));
    s.view.m_viewMode = CImageZoom::VIEW_ZOOM;
    s.view.update();
    s.Settle();
    QScrollBar *bar = s.view.HorizontalBar();
    bar->setSliderPosition(100);

    for (auto action : {QAbstractSlider::SliderSingleStepAdd, QAbstractSlider::SliderSingleStepSub,
                        QAbstractSlider::SliderPageStepAdd, QAbstractSlider::SliderPageStepSub,
                        QAbstractSlider::SliderToMinimum, QAbstractSlider::SliderToMaximum}) {
        bar->triggerAction(action);
        QCOMPARE(s.view.HorizontalPosition(), 100);
    }
    // Real clicks on the arrows and the track.
    const int y = bar->height() / 2;
    QTest::mouseClick(bar, Qt::LeftButton, {}, QPoint(bar->width() - 3, y));
    QTest::mouseClick(bar, Qt::LeftButton, {}, QPoint(2, y));
    QTest::mouseClick(bar, Qt::LeftButton, {}, QPoint(bar->width() - 40, y));
    QCOMPARE(s.view.HorizontalPosition(), 100);
}

void TestImageZoom::dragFollowsPointer()
{
    ShownView s(QSize(520, 520));
    s.view.SetBitmap(ColumnRamp(2000, 2000));
    s.view.m_viewMode = CImageZoom::VIEW_ZOOM;
    s.view.SetZoom(2.0f);
    s.view.HorizontalBar()->setSliderPosition(100);
    s.view.VerticalBar()->setSliderPosition(100);

    QTest::mousePress(&s.view, Qt::LeftButton, {}, QPoint(200, 200));
    QVERIFY(s.view.m_dragging);
    QCOMPARE(s.view.cursor().shape(), Qt::ClosedHandCursor);
    QTest::mouseMove(&s.view, QPoint(260, 220));
    // Right by 60 screen pixels at 2.0: the view moves left by 30 image pixels.
    QCOMPARE(s.view.HorizontalPosition(), 70);
    QCOMPARE(s.view.VerticalPosition(), 90);
    QTest::mouseMove(&s.view, QPoint(140, 180));
    QCOMPARE(s.view.HorizontalPosition(), 130);
    QCOMPARE(s.view.VerticalPosition(), 110);
    QTest::mouseRelease(&s.view, Qt::LeftButton, {}, QPoint(140, 180));
    QVERIFY(!s.view.m_dragging);
    QCOMPARE(s.view.cursor().shape(), Qt::ArrowCursor);

    // A move without the button pans nothing.
    QTest::mouseMove(&s.view, QPoint(10, 10));
    QCOMPARE(s.view.HorizontalPosition(), 130);
}

void TestImageZoom::doubleClickStartsDrag()
{
    ShownView s(QSize(400, 400));
    s.view.SetBitmap(ColumnRamp(1000, 1000));
    s.view.m_viewMode = CImageZoom::VIEW_ZOOM;
    int downs = 0;
    s.view.m_mouseDownHook = [&](const QPoint &, float, int, int) { ++downs; };

    QMouseEvent dbl(QEvent::MouseButtonDblClick, QPointF(50, 60), s.view.mapToGlobal(QPointF(50, 60)),
                    Qt::LeftButton, Qt::LeftButton, Qt::NoModifier);
    QCoreApplication::sendEvent(&s.view, &dbl);
    QVERIFY(s.view.m_dragging);
    QCOMPARE(downs, 1);
    QTest::mouseMove(&s.view, QPoint(30, 60));
    QCOMPARE(s.view.HorizontalPosition(), 20);
}

void TestImageZoom::secondImageKeepsModeAndFactor()
{
    ShownView s(QSize(520, 520));
    const QImage first = ColumnRamp(2000, 2000);
    QVERIFY(s.view.SetBitmap(first).isNull());
    s.view.m_viewMode = CImageZoom::VIEW_ZOOM;
    s.view.SetZoom(2.0f);

    const QImage second = Flat(800, 600, 90);
    const QImage previous = s.view.SetBitmap(second);
    QCOMPARE(previous.cacheKey(), first.cacheKey());
    QCOMPARE(s.view.m_viewMode, int(CImageZoom::VIEW_ZOOM));
    QCOMPARE(s.view.m_zoom, 2.0f);
    QCOMPARE(s.view.m_imageWidth, 800);
    QCOMPARE(s.view.m_imageHeight, 600);
    // The bars' ranges follow the new image: 800 - trunc(500 / 2).
    QCOMPARE(s.view.HorizontalBar()->maximum(), 550);
    QCOMPARE(s.view.VerticalBar()->maximum(), 350);
    QCOMPARE(GrayAt(s.Shot(), 10, 10), 90);
}

void TestImageZoom::emptyViewIsBackground()
{
    ShownView s(QSize(300, 200));
    s.view.SetBitmap(Flat(100, 100, 0));
    s.view.m_viewMode = CImageZoom::VIEW_ZOOM;
    s.view.update();
    s.Settle();
    s.view.SetBitmap(QImage());
    QCOMPARE(s.view.m_imageWidth, 0);
    QVERIFY(s.view.HorizontalBar()->isHidden());
    QVERIFY(s.view.VerticalBar()->isHidden());
    const QImage shot = s.Shot();
    for (QPoint p : {QPoint(0, 0), QPoint(150, 100), QPoint(299, 199), QPoint(290, 190)})
        QVERIFY2(IsBackground(shot, p.x(), p.y()), qPrintable(QStringLiteral("%1,%2").arg(p.x()).arg(p.y())));
    // Zoom requests still change the factor.
    s.view.SetZoom(1.4f);
    QCOMPARE(s.view.m_zoom, 1.4f);
}

void TestImageZoom::oneToOneIsExact()
{
    // Level i shows as r = g = b = i, upright, at 1.0 and after a fit that
    // happens to be 1.0.
    QImage img(256, 3, QImage::Format_Grayscale8);
    for (int y = 0; y < 3; ++y)
        for (int x = 0; x < 256; ++x)
            img.scanLine(y)[x] = uchar(y == 0 ? x : 255 - x);
    ShownView s(QSize(256, 3));
    s.view.SetBitmap(img);
    QImage shot = s.Shot();
    QCOMPARE(s.view.m_zoom, 1.0f);
    for (int x = 0; x < 256; ++x) {
        QCOMPARE(GrayAt(shot, x, 0), x);
        QCOMPARE(GrayAt(shot, x, 2), 255 - x);
    }
}

QTEST_MAIN(TestImageZoom)
#include "tst_imagezoom.moc"
