#include "imagezoom.h"

#include "uiseam.h"

#include <QAction>
#include <QContextMenuEvent>
#include <QLabel>
#include <QMenu>
#include <QMouseEvent>
#include <QPainter>
#include <QWheelEvent>

#include <algorithm>
#include <cmath>

const QColor CImageZoom::kBackground(240, 240, 240);

namespace {

enum ControlIds { IDC_VSCROLL = 2000, IDC_HSCROLL = 2001, IDC_PICTURE = 14141 };

// The wheel zooms (the main window handles it), so the bars let it pass.
class ViewScrollBar : public QScrollBar {
public:
    using QScrollBar::QScrollBar;

protected:
    void wheelEvent(QWheelEvent *event) override { event->ignore(); }
};

// Keeping an extra area-averaged copy of a huge image costs more memory
// than it is worth; such images are drawn with bilinear filtering only.
constexpr qint64 kMaxCachedSourcePixels = qint64(64) << 20;

// Bilinear filtering reads 2 x 2 source pixels per screen pixel, enough
// down to this factor; below it fine ridges would alias, so the image is
// reduced by area averaging instead.
constexpr float kAreaAverageBelow = 0.75f;

} // namespace

CImageZoom::CImageZoom(QWidget *parent) : QWidget(parent)
{
    setObjectName(QStringLiteral("imageView"));
    setAttribute(Qt::WA_OpaquePaintEvent); // every paint covers the whole area
    setMouseTracking(true);                // the move hook sees every move
    setFocusPolicy(Qt::NoFocus);

    m_vScroll = new ViewScrollBar(Qt::Vertical, this);
    m_hScroll = new ViewScrollBar(Qt::Horizontal, this);
    m_vScroll->setProperty("controlId", IDC_VSCROLL);
    m_hScroll->setProperty("controlId", IDC_HSCROLL);
    for (QScrollBar *bar : {m_vScroll, m_hScroll}) {
        bar->setFocusPolicy(Qt::NoFocus);
        bar->setContextMenuPolicy(Qt::NoContextMenu); // a right click goes to the view
        bar->setRange(0, 0);
        bar->hide();
        connect(bar, &QAbstractSlider::actionTriggered, this,
                [this, bar](int action) { OnBarAction(bar, action); });
        connect(bar, &QAbstractSlider::valueChanged, this, [this] { update(); });
    }

    m_picture = new QLabel(this);
    m_picture->setProperty("controlId", IDC_PICTURE);
    m_picture->setGeometry(0, 0, 250, 270);
    m_picture->setAlignment(Qt::AlignCenter);
    m_picture->setAttribute(Qt::WA_TransparentForMouseEvents); // the view handles the mouse
    m_picture->show();
}

CImageZoom::~CImageZoom() = default;

bool CImageZoom::PictureHeld() const
{
    return !m_picture->pixmap().isNull();
}

QImage CImageZoom::SetBitmap(const QImage &bitmap)
{
    if (!bitmap.isNull()) {
        m_imageWidth = bitmap.width();
        m_imageHeight = bitmap.height();
    } else {
        m_imageWidth = 0;
        m_imageHeight = 0;
    }
    QImage previous = m_bitmap;
    m_bitmap = bitmap;
    m_scaled = QImage();
    m_scaledSource = 0;

    UpdatePageSizes(width(), height());
    SyncBarVisibility();
    update();
    return previous;
}

void CImageZoom::SetZoom(float requested)
{
    if (PictureHeld())
        return;
    float zoom = requested;
    if (requested < m_minZoom)
        zoom = m_minZoom;
    else if (requested > m_maxZoom)
        zoom = m_maxZoom;

    const float old = m_zoom;
    m_zoom = zoom;
    if (zoom == old)
        return;

    // Keep the centre of the view on the same image point. A factor of 0
    // (a fit worked out in an empty client) has no centre to keep.
    if (old > 0.0f) {
        const int vw = width() - kBarSize;
        const int vh = height() - kBarSize;
        const int dh = (int(float(vw) / old) - int(float(vw) / zoom)) / 2;
        const int dv = (int(float(vh) / old) - int(float(vh) / zoom)) / 2;
        const QSignalBlocker bh(m_hScroll), bv(m_vScroll);
        m_hScroll->setValue(m_hScroll->value() + dh);
        m_vScroll->setValue(m_vScroll->value() + dv);
    }
    UpdatePageSizes(width(), height());
    SyncBarVisibility();
    update();
}

void CImageZoom::UpdateFitGeometry()
{
    const int cw = width();
    const int ch = height();
    if (m_viewMode != VIEW_FIT) {
        m_fitLeft = 0;
        m_fitTop = 0;
        return;
    }
    if (cw <= 0 || ch <= 0 || m_imageWidth <= 0 || m_imageHeight <= 0) {
        m_fitWidth = m_fitHeight = m_fitLeft = m_fitTop = 0;
        return;
    }
    const float w = float(m_imageWidth);
    const float h = float(m_imageHeight);
    const float sx = w / float(cw);
    const float sy = h / float(ch);
    const float s = sx > sy ? sx : sy;
    m_fitWidth = int(w / s);
    m_fitHeight = int(h / s);
    m_fitLeft = cw / 2 - m_fitWidth / 2;
    m_fitTop = ch / 2 - m_fitHeight / 2;
}

QPointF CImageZoom::ImageToClient(double x, double y) const
{
    if (m_viewMode == VIEW_FIT)
        return {m_fitLeft + x * m_zoom, m_fitTop + y * m_zoom};
    return {(x - m_hScroll->value()) * m_zoom, (y - m_vScroll->value()) * m_zoom};
}

QPoint CImageZoom::ViewOrigin() const
{
    if (m_viewMode == VIEW_FIT) {
        if (m_zoom <= 0.0f)
            return {};
        return {int(float(-m_fitLeft) / m_zoom), int(float(-m_fitTop) / m_zoom)};
    }
    return {m_hScroll->value(), m_vScroll->value()};
}

void CImageZoom::UpdatePageSizes(int cw, int ch)
{
    // The page is the number of whole image pixels the view shows; the last
    // position puts the image's last column (row) at the view's edge.
    const auto apply = [this](QScrollBar *bar, int extent, int client) {
        const int page = m_zoom > 0.0f ? std::max(0, int(float(client - kBarSize) / m_zoom)) : 0;
        const QSignalBlocker block(bar);
        const int before = bar->value();
        bar->setPageStep(std::max(1, page));
        bar->setSingleStep(std::max(1, page / 10));
        bar->setRange(0, std::max(0, extent - page));
        if (bar->value() != before)
            update();
    };
    apply(m_hScroll, m_imageWidth, cw);
    apply(m_vScroll, m_imageHeight, ch);
}

void CImageZoom::SyncBarVisibility()
{
    // Zoom mode shows both bars whenever an image is attached (also when
    // the whole image fits); fit mode and an empty view show none.
    const bool visible = m_viewMode == VIEW_ZOOM && !m_bitmap.isNull();
    if (m_hScroll->isHidden() == visible)
        m_hScroll->setVisible(visible);
    if (m_vScroll->isHidden() == visible)
        m_vScroll->setVisible(visible);
}

void CImageZoom::OnBarAction(QScrollBar *bar, int action)
{
    // Only the thumb moves the view; arrow and track clicks are undone
    // before they reach the value.
    if (action != QAbstractSlider::SliderMove && action != QAbstractSlider::SliderNoAction)
        bar->setSliderPosition(bar->value());
}

void CImageZoom::resizeEvent(QResizeEvent *event)
{
    QWidget::resizeEvent(event);
    const int cx = width();
    const int cy = height();
    m_hScroll->setGeometry(0, cy - kBarSize, std::max(0, cx - kBarSize), kBarSize);
    m_vScroll->setGeometry(cx - kBarSize, 0, kBarSize, std::max(0, cy - kBarSize));
    m_picture->move(cx / 2 - 125, cy / 2 - 135);
    UpdatePageSizes(cx, cy);
    SyncBarVisibility();
    update();
}

const QImage &CImageZoom::ScaledCopy(QSize size)
{
    if (m_scaled.size() != size || m_scaledSource != m_bitmap.cacheKey()) {
        // Area averaging, like a halftone stretch: fine ridges reduced
        // without moire.
        m_scaled = m_bitmap.scaled(size, Qt::IgnoreAspectRatio, Qt::SmoothTransformation);
        m_scaledSource = m_bitmap.cacheKey();
    }
    return m_scaled;
}

void CImageZoom::DrawFitted(QPainter &painter)
{
    const QRect target(m_fitLeft, m_fitTop, m_fitWidth, m_fitHeight);
    if (target.isEmpty())
        return;
    const bool reduce = m_zoom < kAreaAverageBelow;
    if (reduce && qint64(m_imageWidth) * m_imageHeight <= kMaxCachedSourcePixels)
        painter.drawImage(target.topLeft(), ScaledCopy(target.size()));
    else
        painter.drawImage(target, m_bitmap);
}

void CImageZoom::DrawZoomed(QPainter &painter, int cw, int ch)
{
    const double z = m_zoom;
    const double h = m_hScroll->value();
    const double v = m_vScroll->value();
    const QRectF target(0, 0, cw, ch);
    if (m_zoom < kAreaAverageBelow && qint64(m_imageWidth) * m_imageHeight <= kMaxCachedSourcePixels) {
        // Reduce the whole image once per factor, then show the visible
        // part of that copy almost one to one.
        const QSize size(std::max(1, int(std::lround(m_imageWidth * z))),
                         std::max(1, int(std::lround(m_imageHeight * z))));
        const QImage &reduced = ScaledCopy(size);
        const double kx = double(size.width()) / m_imageWidth;
        const double ky = double(size.height()) / m_imageHeight;
        painter.drawImage(target, reduced,
                          QRectF(h * kx, v * ky, cw / z * kx, ch / z * ky));
        return;
    }
    // Only the visible part of the image is stretched.
    painter.drawImage(target, m_bitmap, QRectF(h, v, cw / z, ch / z));
}

void CImageZoom::paintEvent(QPaintEvent *)
{
    QPainter painter(this);
    m_clientRect = rect();
    const int cw = width();
    const int ch = height();
    if (m_bitmap.isNull() || cw <= 0 || ch <= 0) {
        painter.fillRect(rect(), kBackground);
        return;
    }
    SyncBarVisibility();
    painter.setRenderHint(QPainter::SmoothPixmapTransform);

    const bool fit = m_viewMode == VIEW_FIT;
    if (fit) {
        m_zoom = std::min(float(cw) / float(m_imageWidth), float(ch) / float(m_imageHeight));
        UpdateFitGeometry();
        DrawFitted(painter);
    } else {
        DrawZoomed(painter, cw, ch);
    }

    m_viewOrigin = ViewOrigin();
    if (m_paintHook) {
        painter.save();
        painter.setRenderHint(QPainter::Antialiasing);
        m_paintHook(painter, m_zoom, m_viewOrigin.x(), m_viewOrigin.y());
        painter.restore();
    }

    // Everything the image does not cover is background. The hook's
    // drawing stays on the image.
    if (fit) {
        const int right = m_fitLeft + m_fitWidth;
        const int bottom = m_fitTop + m_fitHeight;
        painter.fillRect(QRect(0, 0, m_fitLeft, ch), kBackground);
        painter.fillRect(QRect(right, 0, cw - right, ch), kBackground);
        painter.fillRect(QRect(0, 0, cw, m_fitTop), kBackground);
        painter.fillRect(QRect(0, bottom, cw, ch - bottom), kBackground);
        return;
    }
    const int rv = m_vScroll->isHidden() ? 0 : kBarSize;
    const int rh = m_hScroll->isHidden() ? 0 : kBarSize;
    const int drawnWidth = int(m_zoom * float(m_imageWidth - m_hScroll->value()));
    const int drawnHeight = int(m_zoom * float(m_imageHeight - m_vScroll->value()));
    if (drawnWidth < cw - rv)
        painter.fillRect(QRect(QPoint(std::max(0, drawnWidth), 0), QPoint(cw - rv - 1, ch - rh - 1)),
                         kBackground);
    if (drawnHeight < ch - rh)
        painter.fillRect(QRect(QPoint(0, std::max(0, drawnHeight)), QPoint(cw - rv - 1, ch - rh - 1)),
                         kBackground);
    painter.fillRect(QRect(cw - kBarSize, ch - kBarSize, kBarSize, kBarSize), kBackground);
}

void CImageZoom::StartDrag(const QPoint &pos)
{
    UpdateFitGeometry();
    if (PictureHeld())
        return;
    if (m_viewMode == VIEW_ZOOM)
        setCursor(Qt::ClosedHandCursor);
    m_dragging = true;
    m_dragStart = pos;
    m_dragScrollStart = QPoint(m_hScroll->value(), m_vScroll->value());
    if (m_mouseDownHook) {
        m_viewOrigin = ViewOrigin();
        m_mouseDownHook(pos, m_zoom, m_viewOrigin.x(), m_viewOrigin.y());
    }
}

void CImageZoom::mousePressEvent(QMouseEvent *event)
{
    if (event->button() == Qt::LeftButton)
        StartDrag(event->position().toPoint());
    QWidget::mousePressEvent(event);
}

void CImageZoom::mouseDoubleClickEvent(QMouseEvent *event)
{
    // A double click starts a drag just as a press does. (The base class
    // would deliver it as a second press.)
    if (event->button() == Qt::LeftButton)
        StartDrag(event->position().toPoint());
    event->ignore();
}

void CImageZoom::mouseMoveEvent(QMouseEvent *event)
{
    if (PictureHeld())
        return;
    m_trackingLeave = true; // Qt reports the leave of a tracked widget by itself
    const QPoint p = event->position().toPoint();
    if (m_dragging && m_zoom > 0.0f) {
        const int h = int(float(m_dragStart.x() - p.x()) / m_zoom + float(m_dragScrollStart.x()));
        const int v = int(float(m_dragStart.y() - p.y()) / m_zoom + float(m_dragScrollStart.y()));
        {
            const QSignalBlocker bh(m_hScroll), bv(m_vScroll);
            m_hScroll->setValue(h);
            m_vScroll->setValue(v);
        }
        if (m_viewMode == VIEW_ZOOM)
            setCursor(Qt::ClosedHandCursor);
        update();
    }
    if (m_mouseMoveHook) {
        m_viewOrigin = ViewOrigin();
        m_mouseMoveHook(p, m_zoom, m_viewOrigin.x(), m_viewOrigin.y());
    }
    QWidget::mouseMoveEvent(event);
}

void CImageZoom::mouseReleaseEvent(QMouseEvent *event)
{
    if (event->button() == Qt::LeftButton) {
        m_dragging = false;
        unsetCursor();
    }
    QWidget::mouseReleaseEvent(event);
}

void CImageZoom::leaveEvent(QEvent *event)
{
    m_dragging = false;
    m_trackingLeave = false;
    unsetCursor();
    QWidget::leaveEvent(event);
}

int CImageZoom::MarkerAt(const QPoint &p) const
{
    for (std::size_t i = 0; i < m_markers.size(); ++i) {
        const QPointF c = ImageToClient(m_markers[i].x, m_markers[i].y);
        const int qx = int(c.x());
        const int qy = int(c.y());
        if (p.x() >= qx - kMarkerHalfBox && p.x() < qx + kMarkerHalfBox &&
            p.y() >= qy - kMarkerHalfBox && p.y() < qy + kMarkerHalfBox)
            return int(i);
    }
    return -1;
}

void CImageZoom::contextMenuEvent(QContextMenuEvent *event)
{
    const int target = MarkerAt(mapFromGlobal(event->globalPos()));
    if (target < 0) {
        event->ignore(); // the owner opens its image menu
        return;
    }

    QMenu menu(this);
    const std::uint32_t type = m_markers[std::size_t(target)].type;
    if (type <= MINUTIA_UNKNOWN) {
        const struct { int id; const char *text; } kinds[] = {
            {IDM_MARKER_BIFURCATION, "Bifurcation"},
            {IDM_MARKER_RIDGE_ENDING, "Ridge Ending"},
            {IDM_MARKER_UNKNOWN, "Unknown"},
        };
        for (const auto &kind : kinds) {
            QAction *action = menu.addAction(QString::fromLatin1(kind.text));
            action->setData(kind.id);
            action->setCheckable(true);
            action->setChecked(std::uint32_t(kind.id) == type + 1);
        }
        menu.addSeparator();
    }
    menu.addAction(QStringLiteral("Delete"))->setData(int(IDM_MARKER_DELETE));

    const int chosen = vellumo::ui::execPopupMenu(menu, event->globalPos());
    // One menu per click: a request that showed the marker menu ends here.
    event->accept();

    // The menu's loop may have let the owner change the list meanwhile.
    if (target >= int(m_markers.size()))
        return;
    switch (chosen) {
    case IDM_MARKER_BIFURCATION: m_markers[std::size_t(target)].type = MINUTIA_BIFURCATION; break;
    case IDM_MARKER_RIDGE_ENDING: m_markers[std::size_t(target)].type = MINUTIA_RIDGE_ENDING; break;
    case IDM_MARKER_UNKNOWN: m_markers[std::size_t(target)].type = MINUTIA_UNKNOWN; break;
    case IDM_MARKER_DELETE: m_markers.erase(m_markers.begin() + target); break;
    default: return;
    }
    update();
}
