// testenv.h - keeps the update tests away from the user's own settings and
// from any proxy: settings go to a temporary folder, requests go straight
// to the loopback server.
#pragma once

#include <QSettings>
#include <QTemporaryDir>
#include <QtGlobal>

inline void isolateUpdateTests(const QTemporaryDir &dir)
{
    for (const char *name : {"http_proxy", "HTTP_PROXY", "https_proxy", "HTTPS_PROXY", "all_proxy", "ALL_PROXY"})
        qunsetenv(name);
    qputenv("no_proxy", "*");
    QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, dir.path());
    QSettings::setPath(QSettings::IniFormat, QSettings::UserScope, dir.path());
}
