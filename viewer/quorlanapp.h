// quorlanapp.h - the application: reads the command line, runs the main
// window and ends when it closes.
#pragma once

#include <QString>
#include <QStringList>

class CquorlanApp {
public:
    // The file named on the command line: the first positional argument,
    // a path or a file:// URI; empty when there is none. Options the
    // parser knows (--help, --version) are handled by it.
    static QString StartupPathFromArguments(const QStringList &arguments);

    // Process-wide settings made once at start-up (needs a QApplication):
    // the application icon, and decodes on one thread per core.
    static void InitProcess();

    // Needs a QApplication. Runs the main window until it closes and
    // returns the exit code.
    int InitInstance();

    QString m_startupPath;
};
