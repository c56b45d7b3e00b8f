// updatedlg.h - the small modal dialog that reports an update check's outcome.
#pragma once

#include <QDialog>
#include <QString>

class QLabel;
class QPushButton;

class CUpdateDlg : public QDialog {
    Q_OBJECT
public:
    // The two texts are fixed at construction; the dialog has no logic
    // beyond presenting them. No parent: the dialog stands on its own.
    CUpdateDlg(const QString &title, const QString &info, QWidget *parent = nullptr);
    ~CUpdateDlg() override;

    QString titleText() const;
    QString infoText() const;

protected:
    void showEvent(QShowEvent *event) override;

private:
    QLabel *m_picture = nullptr;
    QLabel *m_title = nullptr; // control 1041
    QLabel *m_info = nullptr;  // control 1042
    QPushButton *m_ok = nullptr;

public:
    QString m_pszTitle;
    QString m_pszInfo;
};
