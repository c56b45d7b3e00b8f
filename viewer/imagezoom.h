// imagezoom.h - the image view: shows the display bitmap fitted to the
// window or at a zoom factor between 0.5 and 3.0 with scroll bars and drag
// panning, plus a layer of minutiae markers drawn by the owner.
#pragma once

#include <QImage>
#include <QPoint>
#include <QPointF>
#include <QRect>
#include <QScrollBar>
#include <QSize>
#include <QWidget>

#include <cstdint>
#include <functional>
#include <vector>

class QLabel;
class QPainter;

// One minutia in image coordinates. Only x, y and type mean anything to the
// view; the other fields belong to the owner and are never touched here.
struct MinutiaMarker {
    std::int32_t tag = 0;
    std::int32_t x = 0;
    std::int32_t y = 0;
    std::uint32_t type = 0;
    std::int32_t data[5] = {};
};
static_assert(sizeof(MinutiaMarker) == 36, "nine 32-bit fields");

enum MinutiaType : std::uint32_t {
    MINUTIA_BIFURCATION = 0,
    MINUTIA_RIDGE_ENDING = 1,
    MINUTIA_UNKNOWN = 2,
};

// Ids of the marker menu's items (QAction::data()).
enum MarkerMenuId : int {
    IDM_MARKER_BIFURCATION = 1,
    IDM_MARKER_RIDGE_ENDING = 2,
    IDM_MARKER_UNKNOWN = 3,
    IDM_MARKER_DELETE = 4,
};

class CImageZoom : public QWidget {
    Q_OBJECT
public:
    enum ViewMode : int { VIEW_FIT = 0, VIEW_ZOOM = 1 };
    static constexpr int kBarSize = 20;
    static constexpr int kMarkerHalfBox = 8;
    static const QColor kBackground; // RGB(240, 240, 240)

    // Owner hooks: zoom is m_zoom, the origin the image point shown at the
    // client origin, so an image point (x, y) lies at client
    // ((x - originX) * zoom, (y - originY) * zoom).
    using PaintHook = std::function<void(QPainter &painter, float zoom, int originX, int originY)>;
    using MouseHook = std::function<void(const QPoint &pos, float zoom, int originX, int originY)>;

    explicit CImageZoom(QWidget *parent = nullptr);
    ~CImageZoom() override;

    // Attaches the image to show (a null image clears the view) and returns
    // the one attached before. Mode, factor and scroll positions stay.
    QImage SetBitmap(const QImage &bitmap);
    const QImage &Bitmap() const { return m_bitmap; }

    // Zoom mode: applies a factor, clamped to [m_minZoom, m_maxZoom],
    // keeping the centre of the view in place.
    void SetZoom(float requested);
    // Works out the fitted rectangle for the current client size.
    void UpdateFitGeometry();
    // Image point -> client point for the current mode.
    QPointF ImageToClient(double x, double y) const;
    // The image point at the client origin, as handed to the hooks.
    QPoint ViewOrigin() const;

    int HorizontalPosition() const { return m_hScroll->value(); }
    int VerticalPosition() const { return m_vScroll->value(); }
    QScrollBar *HorizontalBar() const { return m_hScroll; }
    QScrollBar *VerticalBar() const { return m_vScroll; }
    QLabel *Placeholder() const { return m_picture; }

    // Index of the first marker whose 16 x 16 hit box holds the client
    // point, or -1.
    int MarkerAt(const QPoint &clientPos) const;

    // Read and written by the owner.
    int m_viewMode = VIEW_FIT;
    float m_zoom = 1.0f;
    float m_minZoom = 0.5f;
    float m_maxZoom = 3.0f;

    // State of the fit geometry and the last paint (read by tests and hooks).
    int m_fitWidth = 0;
    int m_fitHeight = 0;
    int m_fitLeft = 0;
    int m_fitTop = 0;
    int m_imageWidth = 0;
    int m_imageHeight = 0;
    QPoint m_viewOrigin;
    QRect m_clientRect;
    bool m_dragging = false;

    // The marker layer: filled and drawn by the owner, edited by the menu.
    std::vector<MinutiaMarker> m_markers;
    PaintHook m_paintHook;
    MouseHook m_mouseMoveHook;
    MouseHook m_mouseDownHook;

protected:
    void paintEvent(QPaintEvent *event) override;
    void resizeEvent(QResizeEvent *event) override;
    void mousePressEvent(QMouseEvent *event) override;
    void mouseDoubleClickEvent(QMouseEvent *event) override;
    void mouseMoveEvent(QMouseEvent *event) override;
    void mouseReleaseEvent(QMouseEvent *event) override;
    void leaveEvent(QEvent *event) override;
    void contextMenuEvent(QContextMenuEvent *event) override;

private:
    bool PictureHeld() const;
    void StartDrag(const QPoint &pos);
    void UpdatePageSizes(int cw, int ch);
    void SyncBarVisibility();
    void OnBarAction(QScrollBar *bar, int action);
    void DrawFitted(QPainter &painter);
    void DrawZoomed(QPainter &painter, int cw, int ch);
    const QImage &ScaledCopy(QSize size);

    QScrollBar *m_vScroll = nullptr;
    QScrollBar *m_hScroll = nullptr;
    QLabel *m_picture = nullptr;
    bool m_trackingLeave = false;
    QPoint m_dragStart;
    QPoint m_dragScrollStart;
    QImage m_bitmap;

    // Area-averaged copy of the bitmap at one size, reused while the fitted
    // size (or the zoom factor below 1.0) stays the same.
    QImage m_scaled;
    qint64 m_scaledSource = 0;
};
