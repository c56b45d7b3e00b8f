#include "updatedlg.h"

#include <QFont>
#include <QHBoxLayout>
#include <QLabel>
#include <QPalette>
#include <QPixmap>
#include <QPushButton>
#include <QShowEvent>
#include <QVBoxLayout>

namespace {
// The picture's place is kept even when the artwork is missing, so the
// texts sit where they always do.
constexpr int kPictureWidth = 150;
constexpr int kPictureHeight = 117;
} // namespace

CUpdateDlg::CUpdateDlg(const QString &title, const QString &info, QWidget *parent)
    : QDialog(parent,
              Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint), // no close box
      m_pszTitle(title), m_pszInfo(info)
{
    setObjectName(QStringLiteral("updateDialog"));
    setWindowTitle(QStringLiteral("Check for Update"));
    setModal(true);

    // White everywhere: the dialog and every control on it.
    QPalette pal = palette();
    pal.setColor(QPalette::Window, Qt::white);
    setPalette(pal);
    setAutoFillBackground(true);

    m_picture = new QLabel(this);
    m_picture->setObjectName(QStringLiteral("picture"));
    m_picture->setFixedSize(kPictureWidth, kPictureHeight);
    m_picture->setAlignment(Qt::AlignCenter);
    const QPixmap art(QStringLiteral(":/images/update.png"));
    if (!art.isNull())
        m_picture->setPixmap(art.scaled(kPictureWidth, kPictureHeight, Qt::KeepAspectRatio,
                                        Qt::SmoothTransformation));

    m_title = new QLabel(this);
    m_title->setObjectName(QStringLiteral("title"));
    m_title->setTextFormat(Qt::PlainText);
    QFont titleFont(QStringLiteral("Arial"));
    titleFont.setPointSize(16);
    m_title->setFont(titleFont);
    m_title->setText(m_pszTitle);

    m_info = new QLabel(this);
    m_info->setObjectName(QStringLiteral("info"));
    m_info->setTextFormat(Qt::PlainText);
    m_info->setWordWrap(true);
    m_info->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    m_info->setMinimumHeight(m_info->fontMetrics().lineSpacing() * 2);
    m_info->setText(m_pszInfo);

    m_ok = new QPushButton(QStringLiteral("OK"), this);
    m_ok->setObjectName(QStringLiteral("ok"));
    m_ok->setDefault(true);
    m_ok->setAutoDefault(true);
    m_ok->setMinimumSize(66, 34);
    connect(m_ok, &QPushButton::clicked, this, &QDialog::accept);

    auto *buttonRow = new QHBoxLayout;
    buttonRow->addSpacing(40);
    buttonRow->addWidget(m_ok);
    buttonRow->addStretch(1);

    auto *texts = new QVBoxLayout;
    texts->addSpacing(28);
    texts->addWidget(m_title);
    texts->addSpacing(14);
    texts->addWidget(m_info);
    texts->addStretch(1);
    texts->addLayout(buttonRow);

    auto *pictureColumn = new QVBoxLayout;
    pictureColumn->addStretch(1);
    pictureColumn->addWidget(m_picture);
    pictureColumn->addStretch(1);

    auto *outer = new QHBoxLayout(this);
    outer->setContentsMargins(10, 10, 16, 12);
    outer->setSpacing(40);
    outer->addLayout(pictureColumn);
    outer->addLayout(texts, 1);

    setMinimumSize(614, 205);
    m_ok->setFocus();
}

CUpdateDlg::~CUpdateDlg() = default;

QString CUpdateDlg::titleText() const { return m_title->text(); }
QString CUpdateDlg::infoText() const { return m_info->text(); }

void CUpdateDlg::showEvent(QShowEvent *event)
{
    QDialog::showEvent(event);
    // To the top of the stacking order, without moving or resizing.
    raise();
    activateWindow();
}
