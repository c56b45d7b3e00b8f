// aboutdlg.h - Help > About: program name and version, notice, description,
// the maker's web site, the decoder's version and a picture on a two-tone
// background.
#pragma once

#include <QColor>
#include <QDialog>
#include <QFont>
#include <QString>
#include <QUrl>

class QLabel;
class QPushButton;

class CAboutDlg : public QDialog {
    Q_OBJECT
public:
    explicit CAboutDlg(QWidget *parent = nullptr);
    ~CAboutDlg() override;

    // "Vellumo, Version 3.0.0.1 (64 bit)" for this build.
    static QString ProductLine();
    static QUrl WebSite();

    static inline const QColor kUpperColor{240, 240, 240};
    static inline const QColor kLowerColor{210, 210, 210};

    // Where the two halves meet: rows above it are upper.
    int SplitY() const { return height() / 2; }

protected:
    void paintEvent(QPaintEvent *event) override;

private:
    void OnInitDialog();
    void OnLinkClicked(const QString &link);
    // Dialog units of the template into pixels of this dialog's font.
    QRect DialogRect(int x, int y, int cx, int cy) const;

    QLabel *m_version = nullptr; // 1022, the decoder's version text
    QLabel *m_picture = nullptr; // 1025
    QFont m_titleFont;           // the program-name line, 13-point Arial
    int m_baseUnitX = 0;
    int m_baseUnitY = 0;
};
