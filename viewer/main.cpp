// main.cpp - the vellumo program.
#include "quorlanapp.h"

#include <QApplication>

#include "vellumo_version.h"

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    QApplication::setOrganizationName(QStringLiteral("Corvanta"));
    QApplication::setApplicationName(QStringLiteral("Vellumo"));
    QApplication::setApplicationVersion(QStringLiteral(VELLUMO_VERSION_TEXT));
    QApplication::setDesktopFileName(QStringLiteral("vellumo"));

    CquorlanApp theApp;
    return theApp.InitInstance();
}
