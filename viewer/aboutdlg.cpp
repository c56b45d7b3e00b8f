#include "aboutdlg.h"

CAboutDlg::CAboutDlg(QWidget *parent) : QDialog(parent)
{
    setWindowTitle(QStringLiteral("About Vellumo"));
}

CAboutDlg::~CAboutDlg() = default;
