// viewertestenv.h - shared set-up of the main-window tests: settings in a
// temporary folder, no update check, and every modal request observed.
#pragma once

#include <QDir>
#include <QFile>
#include <QMenu>
#include <QSettings>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QtTest>

#include "uiseam.h"

struct ViewerTestEnv {
    QTemporaryDir settingsDir;
    QList<vellumo::ui::MessageBoxRequest> messages;
    QList<QStringList> popups; // texts of each popup menu shown
    QString nextOpenPath;      // answer of the next Open dialog ("" = cancel)
    int popupAnswer = 0;

    void Install()
    {
        QStandardPaths::setTestModeEnabled(true);
        QSettings::setDefaultFormat(QSettings::NativeFormat);
        QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, settingsDir.path());
        QSettings::setPath(QSettings::IniFormat, QSettings::UserScope, settingsDir.path());
        qputenv("VELLUMO_UPDATE_URL", QByteArray(""));

        vellumo::ui::setMessageBoxHandler([this](const vellumo::ui::MessageBoxRequest &r) { messages << r; });
        vellumo::ui::setFileDialogHandler([this](const vellumo::ui::FileDialogRequest &) {
            vellumo::ui::FileDialogResult result;
            result.accepted = !nextOpenPath.isEmpty();
            result.path = nextOpenPath;
            return result;
        });
        vellumo::ui::setModalHandler([](QDialog &) { return 0; });
        vellumo::ui::setPopupMenuHandler([this](QMenu &menu, const QPoint &) {
            QStringList texts;
            for (QAction *a : menu.actions())
                texts << (a->isSeparator() ? QStringLiteral("-") : a->text());
            popups << texts;
            return popupAnswer;
        });
    }

    void Reset()
    {
        messages.clear();
        popups.clear();
        nextOpenPath.clear();
        popupAnswer = 0;
        QSettings(QStringLiteral("Corvanta"), QStringLiteral("Vellumo")).remove(QStringLiteral("Recent Files"));
    }
};

// Writes bytes to a file and returns its path.
inline QString WriteFile(const QString &path, const QByteArray &bytes)
{
    QFile f(path);
    if (!f.open(QIODevice::WriteOnly) || f.write(bytes) != bytes.size())
        return QString();
    return path;
}

// A codestream that the header and comment queries read but that cannot
// decode: start, optional comment, frame header, a block header, then
// zeros up to totalSize bytes.
inline QByteArray HeaderOnlyCodestream(int width, int height, int encoder, int implementation,
                                       const QByteArray &comment, int totalSize)
{
    QByteArray b;
    const auto put8 = [&b](int v) { b.append(char(v & 0xFF)); };
    const auto put16 = [&b](int v) {
        b.append(char((v >> 8) & 0xFF));
        b.append(char(v & 0xFF));
    };
    put16(0xFFA0);
    if (!comment.isNull()) {
        put16(0xFFA8);
        put16(int(comment.size()) + 2);
        b.append(comment);
    }
    put16(0xFFA2);
    put16(17);
    put8(0);
    put8(255);
    put16(height);
    put16(width);
    put8(0);
    put16(0); // shift
    put8(0);
    put16(1); // scale
    put8(encoder);
    put16(implementation);
    put16(0xFFA3);
    put16(3);
    put8(0);
    if (b.size() < totalSize)
        b.append(QByteArray(totalSize - b.size(), '\0'));
    return b;
}

inline QString SharedSample(const char *name)
{
    const QString path = QStringLiteral(VELLUMO_SHARED_DATA_DIR "/") + QLatin1String(name);
    return QFile::exists(path) ? path : QString();
}
