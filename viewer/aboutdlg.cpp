#include "aboutdlg.h"

#include "menuicons.h"
#include "resources.h"

#include <QDesktopServices>
#include <QFontMetrics>
#include <QLabel>
#include <QPainter>
#include <QPixmap>
#include <QPushButton>

#include <wsq.h>

#include "vellumo_version.h"

namespace {

constexpr int kDialogWidthDu = 371;
constexpr int kDialogHeightDu = 201;

const char *const kWebSite = "https://www.corvanta.example/vellumo";
const char *const kNotice = "Copyright \u00a9 2026 Corvanta. All rights reserved.";
const char *const kDescription =
    "Vellumo is a FREE viewer built using Corvanta WSQ Encoder/Decoder API. This API is "
    "fully FBI Certified for all Windows Operating Systems and provides a fast reliable "
    "and proven means to add WSQ compression into your application.";

int mulDiv(int value, int numerator, int denominator)
{
    return int((qint64(value) * numerator + denominator / 2) / denominator);
}

// Every control is transparent and shows the dialog's own two-tone
// background; its palette carries the colour of its half as well, for
// styles that fill a control's background themselves.
void onHalf(QWidget *control, const QColor &colour)
{
    QPalette palette = control->palette();
    palette.setColor(QPalette::Window, colour);
    control->setPalette(palette);
    control->setAutoFillBackground(false);
}

} // namespace

CAboutDlg::CAboutDlg(QWidget *parent) : QDialog(parent)
{
    vellumoInitResources();
    setWindowTitle(QStringLiteral("About Vellumo"));
    setWindowIcon(VellumoAppIcon());
    setObjectName(QStringLiteral("IDD_ABOUT_DIALOG"));

    // Dialog units as the dialog font measures them: a quarter of the
    // average character width across, an eighth of the line height down.
    const QFontMetrics metrics(font());
    const int alphabet = metrics.horizontalAdvance(
        QStringLiteral("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz"));
    m_baseUnitX = qMax(1, (alphabet / 26 + 1) / 2);
    m_baseUnitY = qMax(1, metrics.height());

    const QRect frame = DialogRect(0, 0, kDialogWidthDu, kDialogHeightDu);
    setFixedSize(frame.size());

    auto *title = new QLabel(this);
    title->setObjectName(QStringLiteral("1024"));
    title->setTextFormat(Qt::PlainText);
    // The title row ends where the picture begins.
    title->setGeometry(DialogRect(42, 14, 240, 16));
    title->setText(ProductLine());

    // The notice shares its row with the picture only; it may use the
    // width up to the picture.
    auto *notice = new QLabel(this);
    notice->setObjectName(QStringLiteral("1028"));
    notice->setTextFormat(Qt::PlainText);
    notice->setGeometry(DialogRect(41, 34, 236, 8));
    notice->setText(QString::fromUtf8(kNotice));

    const QUrl site = WebSite();
    auto *link = new QLabel(this);
    link->setObjectName(QStringLiteral("1005"));
    link->setTextFormat(Qt::RichText);
    link->setText(QStringLiteral("<a href=\"%1\">%2</a>")
                      .arg(site.toString(QUrl::FullyEncoded),
                           (site.host() + site.path()).toHtmlEscaped()));
    link->setOpenExternalLinks(false);
    link->setTextInteractionFlags(Qt::LinksAccessibleByMouse | Qt::LinksAccessibleByKeyboard);
    link->setToolTip(site.toString());
    link->setGeometry(DialogRect(41, 46, 198, 10));
    connect(link, &QLabel::linkActivated, this, &CAboutDlg::OnLinkClicked);

    // The description wraps; where the font needs more lines than the
    // template's four, the label grows downwards instead of clipping.
    auto *description = new QLabel(this);
    description->setObjectName(QStringLiteral("1029"));
    description->setTextFormat(Qt::PlainText);
    description->setWordWrap(true);
    description->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    description->setText(QString::fromLatin1(kDescription));
    QRect descriptionRect = DialogRect(41, 60, 236, 36); // wider than the template: four lines in most fonts
    descriptionRect.setHeight(qMax(descriptionRect.height(),
                                   description->heightForWidth(descriptionRect.width())));
    description->setGeometry(descriptionRect);

    m_version = new QLabel(this);
    m_version->setObjectName(QStringLiteral("1022"));
    m_version->setTextFormat(Qt::PlainText);
    m_version->setWordWrap(true);
    m_version->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    m_version->setGeometry(DialogRect(41, 105, 198, 32));

    // A static picture takes the size of its bitmap.
    m_picture = new QLabel(this);
    m_picture->setObjectName(QStringLiteral("1025"));
    const QPixmap picture(QStringLiteral(":/images/about.png"));
    m_picture->setPixmap(picture);
    const QRect pictureRect = DialogRect(284, 21, 67, 70);
    m_picture->setGeometry(QRect(pictureRect.topLeft(),
                                 picture.isNull() ? pictureRect.size() : picture.size()));

    auto *ok = new QPushButton(QStringLiteral("OK"), this);
    ok->setObjectName(QStringLiteral("1"));
    ok->setDefault(true);
    ok->setGeometry(DialogRect(314, 179, 50, 14));
    connect(ok, &QPushButton::clicked, this, &QDialog::accept);

    // The upper controls end above the split, whatever the font: a taller
    // description makes the dialog taller, the lower controls keep their
    // distance from the bottom edge.
    const int needed = 2 * (description->geometry().bottom() + 1 + m_baseUnitY / 4);
    if (needed > height()) {
        const int grow = needed - height();
        setFixedSize(width(), needed);
        m_version->move(m_version->x(), m_version->y() + grow);
        ok->move(ok->x(), ok->y() + grow);
    }

    for (QWidget *upper : {static_cast<QWidget *>(title), static_cast<QWidget *>(notice),
                           static_cast<QWidget *>(link), static_cast<QWidget *>(description),
                           static_cast<QWidget *>(m_picture)})
        onHalf(upper, kUpperColor);
    onHalf(m_version, kLowerColor);
    onHalf(ok, kLowerColor);

    OnInitDialog();
    title->setFont(m_titleFont);
}

CAboutDlg::~CAboutDlg() = default;

QString CAboutDlg::ProductLine()
{
    return QStringLiteral("Vellumo, Version %1 (%2 bit)")
        .arg(QStringLiteral(VELLUMO_VERSION_TEXT))
        .arg(int(sizeof(void *) * 8));
}

QUrl CAboutDlg::WebSite()
{
    return QUrl(QString::fromLatin1(kWebSite));
}

void CAboutDlg::OnInitDialog()
{
    m_version->setText(QString::fromUtf8(wsq_version_string()));
    m_titleFont = QFont(QStringLiteral("Arial"));
    m_titleFont.setPointSize(13);
}

void CAboutDlg::OnLinkClicked(const QString &link)
{
    QDesktopServices::openUrl(QUrl(link));
}

QRect CAboutDlg::DialogRect(int x, int y, int cx, int cy) const
{
    const int left = mulDiv(x, m_baseUnitX, 4);
    const int top = mulDiv(y, m_baseUnitY, 8);
    return QRect(left, top, mulDiv(x + cx, m_baseUnitX, 4) - left,
                 mulDiv(y + cy, m_baseUnitY, 8) - top);
}

void CAboutDlg::paintEvent(QPaintEvent *)
{
    QPainter painter(this);
    const int split = SplitY();
    painter.fillRect(QRect(0, 0, width(), split), kUpperColor);
    painter.fillRect(QRect(0, split, width(), height() - split), kLowerColor);
}
