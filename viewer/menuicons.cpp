#include "menuicons.h"

#include "commandids.h"
#include "resources.h"

#include <QAction>
#include <QApplication>
#include <QFile>
#include <QIcon>
#include <QMenu>
#include <QMenuBar>
#include <QPixmap>
#include <QStyle>

#include <cmath>
#include <iterator>

namespace {

// Sizes for which each menu picture has its own pixel-aligned drawing.
constexpr int kDrawnSizes[] = {16, 20, 24};

// Sizes of the application icon's rendered pictures.
constexpr int kAppIconSizes[] = {16, 22, 24, 32, 48, 64, 128, 256};

QAction *findCommand(const QList<QAction *> &actions, int command)
{
    for (QAction *action : actions) {
        const QVariant data = action->data();
        if (data.isValid() && !action->isSeparator()) {
            bool ok = false;
            if (data.toInt(&ok) == command && ok)
                return action;
        }
        if (QMenu *popup = action->menu()) {
            if (QAction *found = findCommand(popup->actions(), command))
                return found;
        }
    }
    return nullptr;
}

} // namespace

int SetMenuItemIcon(QMenuBar *menuBar, int command, const QIcon &icon)
{
    if (!menuBar)
        return -1;
    QAction *action = findCommand(menuBar->actions(), command);
    if (!action)
        return -1;
    action->setIcon(icon);
    return 0;
}

QPixmap MenuIconPixmap(const QString &name, int size)
{
    vellumoInitResources();
    if (size <= 0)
        return {};
    const QString scalable = QStringLiteral(":/icons/%1.svg").arg(name);
    if (!QFile::exists(scalable))
        return {};

    for (int drawn : kDrawnSizes) {
        if (drawn == size) {
            QPixmap exact(QStringLiteral(":/icons/%1-%2.png").arg(name).arg(size));
            if (!exact.isNull())
                return exact;
        }
    }
    // No drawing of this size: the scalable source where SVG support is
    // installed, else the nearest drawn picture scaled smoothly.
    QPixmap rendered = QIcon(scalable).pixmap(QSize(size, size));
    if (!rendered.isNull() && rendered.width() == size)
        return rendered;
    // Shrinking a larger drawing keeps more detail than enlarging one.
    int nearest = kDrawnSizes[std::size(kDrawnSizes) - 1];
    for (int drawn : kDrawnSizes) {
        if (drawn >= size) {
            nearest = drawn;
            break;
        }
    }
    QPixmap base(QStringLiteral(":/icons/%1-%2.png").arg(name).arg(nearest));
    return base.scaled(size, size, Qt::IgnoreAspectRatio, Qt::SmoothTransformation);
}

QIcon VellumoAppIcon()
{
    vellumoInitResources();
    QIcon icon;
    for (int size : kAppIconSizes)
        icon.addFile(QStringLiteral(":/icons/app/vellumo-%1.png").arg(size), QSize(size, size));
    return icon;
}

void AttachMenuIcons(QMenuBar *menuBar)
{
    if (!menuBar)
        return;
    const int size = menuBar->style()->pixelMetric(QStyle::PM_SmallIconSize, nullptr, menuBar);
    const qreal ratio = menuBar->devicePixelRatioF();

    const struct {
        int command;
        const char *name;
    } items[] = {
        {vellumo::ID_CMD_OPEN, "open"},
        {vellumo::ID_CMD_CHECK_UPDATES, "check-updates"},
        {vellumo::ID_CMD_ABOUT, "about"},
    };
    for (const auto &item : items) {
        const QString name = QString::fromLatin1(item.name);
        QIcon icon;
        icon.addPixmap(MenuIconPixmap(name, size));
        if (ratio > 1.0) {
            QPixmap sharp = MenuIconPixmap(name, int(std::lround(size * ratio)));
            sharp.setDevicePixelRatio(ratio);
            icon.addPixmap(sharp);
        }
        SetMenuItemIcon(menuBar, item.command, icon); // a missing item just stays plain
    }
}
