#include "quorlanapp.h"

#include "menuicons.h"
#include "quorlandlg.h"
#include "resources.h"
#include "wsq.h"

#include <QApplication>
#include <QCommandLineParser>
#include <QDir>
#include <QIcon>
#include <QUrl>

QString CquorlanApp::StartupPathFromArguments(const QStringList &arguments)
{
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral("Viewer for WSQ fingerprint images."));
    parser.addPositionalArgument(QStringLiteral("file"), QStringLiteral("The WSQ file to open."),
                                 QStringLiteral("[file]"));
    // Unknown options are not an error: they are simply not a file name.
    parser.parse(arguments);
    const QStringList positional = parser.positionalArguments();
    if (positional.isEmpty())
        return {};

    QString path = positional.constFirst();
    if (path.startsWith(QLatin1String("file:"), Qt::CaseInsensitive)) {
        const QUrl url(path);
        if (url.isLocalFile())
            path = url.toLocalFile();
    }
    // The recent-files list keeps full paths: a relative one would name
    // another file when the program next starts elsewhere.
    return path.isEmpty() ? path : QDir::current().absoluteFilePath(path);
}

void CquorlanApp::InitProcess()
{
    vellumoInitResources();
    QApplication::setWindowIcon(VellumoAppIcon());
    // A file decodes on the interface thread while the window waits, so
    // the decode may as well use every core.
    wsq_set_decode_threads(0);
}

int CquorlanApp::InitInstance()
{
    InitProcess();

    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral("Viewer for WSQ fingerprint images."));
    parser.addHelpOption();
    parser.addVersionOption();
    parser.addPositionalArgument(QStringLiteral("file"), QStringLiteral("The WSQ file to open."),
                                 QStringLiteral("[file]"));
    parser.parse(QCoreApplication::arguments());
    if (parser.isSet(QStringLiteral("help")))
        parser.showHelp(0);
    if (parser.isSet(QStringLiteral("version")))
        parser.showVersion();

    m_startupPath = StartupPathFromArguments(QCoreApplication::arguments());

    CquorlanDlg dialog(m_startupPath);
    dialog.show();
    return QApplication::exec(); // ends when the window closes
}
