// recentfiles.h - the most-recently-used list of opened files: ten named
// values in the user's settings, mirrored in File > Recent Files.
#pragma once

#include <QString>
#include <QStringList>

#include <array>
#include <optional>

class QMenu;

namespace vellumo {

constexpr int kMaxRecentFiles = 10;

// Index 0 is the most recent; an absent entry is a missing or unusable value.
using RecentList = std::array<std::optional<QString>, kMaxRecentFiles>;

// The stored list: settings organisation "Corvanta", application "Vellumo",
// group "Recent Files", values "File 1" .. "File 10". The only place the
// list is read or written.
RecentList ReadRecentFiles();
void WriteRecentFiles(const RecentList &list);

// Moves path to the top (exact, case-sensitive match) or inserts it there,
// dropping the oldest entry when the list is full.
void PutOnTop(RecentList &list, const QString &path);

// The entries shown: from the top down to the first absent one.
QStringList ShownEntries(const RecentList &list);

// Rebuilds the popup from the stored list, first putting path on top (and
// storing the result) when one is given. Item k carries the command
// ID_RECENT_FILE_BASE + k; an empty list shows the disabled "No Recent
// Files". Returns the paths behind the items, in item order.
QStringList UpdateRecentFiles(QMenu *popup, const QString *path);

} // namespace vellumo
