#include "recentfiles.h"

#include "commandids.h"

#include <QAction>
#include <QMenu>
#include <QSettings>

#include <algorithm>

namespace vellumo {
namespace {

QString ValueName(int index) { return QStringLiteral("File %1").arg(index + 1); }

} // namespace

RecentList ReadRecentFiles()
{
    RecentList list;
    QSettings settings(QStringLiteral("Corvanta"), QStringLiteral("Vellumo"));
    settings.beginGroup(QStringLiteral("Recent Files"));
    for (int i = 0; i < kMaxRecentFiles; ++i) {
        const QVariant value = settings.value(ValueName(i));
        if (!value.isValid() || !value.canConvert<QString>())
            continue;
        // A value ends at its first NUL; an empty one names no file.
        QString text = value.toString();
        const qsizetype nul = text.indexOf(QChar(u'\0'));
        if (nul >= 0)
            text.truncate(nul);
        // Line breaks and other control characters come from a damaged
        // store, not from a path anyone opened.
        const bool damaged = std::any_of(text.cbegin(), text.cend(),
                                         [](QChar c) { return c.unicode() < 0x20 || c.unicode() == 0x7F; });
        if (!text.isEmpty() && !damaged)
            list[std::size_t(i)] = text;
    }
    return list;
}

void WriteRecentFiles(const RecentList &list)
{
    QSettings settings(QStringLiteral("Corvanta"), QStringLiteral("Vellumo"));
    settings.beginGroup(QStringLiteral("Recent Files"));
    for (int i = 0; i < kMaxRecentFiles; ++i) {
        // Absent entries are removed, so the store always holds the list
        // that was shown and never an older path left behind a gap.
        if (list[std::size_t(i)])
            settings.setValue(ValueName(i), *list[std::size_t(i)]);
        else
            settings.remove(ValueName(i));
    }
}

void PutOnTop(RecentList &list, const QString &path)
{
    bool found = false;
    for (std::size_t i = 0; i < list.size() && list[i]; ++i) {
        if (*list[i] != path)
            continue;
        found = true;
        for (std::size_t k = i; k > 0; --k)
            std::swap(list[k], list[k - 1]);
    }
    if (found)
        return;
    for (std::size_t k = list.size() - 1; k > 0; --k)
        list[k] = std::move(list[k - 1]);
    list[0] = path;
}

QStringList ShownEntries(const RecentList &list)
{
    QStringList shown;
    for (const auto &entry : list) {
        if (!entry)
            break;
        shown << *entry;
    }
    return shown;
}

QStringList UpdateRecentFiles(QMenu *popup, const QString *path)
{
    RecentList list = ReadRecentFiles();
    if (path) {
        PutOnTop(list, *path);
        WriteRecentFiles(list);
    }
    const QStringList shown = ShownEntries(list);

    if (!popup)
        return shown;
    popup->clear();
    if (shown.isEmpty()) {
        QAction *none = popup->addAction(QStringLiteral("No Recent Files"));
        none->setData(int(ID_RECENT_FILE_BASE));
        none->setEnabled(false);
        return shown;
    }
    for (qsizetype k = 0; k < shown.size(); ++k) {
        // The item shows the full path; '&' is doubled so it is not taken
        // for a mnemonic, and a tab would start the shortcut column.
        QString text = shown[k];
        text.replace(QLatin1Char('&'), QStringLiteral("&&"));
        text.replace(QLatin1Char('\t'), QLatin1Char(' '));
        QAction *item = popup->addAction(text);
        item->setData(int(ID_RECENT_FILE_BASE + k));
        item->setToolTip(shown[k]);
    }
    return shown;
}

} // namespace vellumo
