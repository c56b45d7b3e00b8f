// fileread.h - reading a file the user chose into memory without ever
// blocking on it, and naming what it is when it is no WSQ file.
#pragma once

#include <QByteArray>
#include <QString>

#include <functional>

namespace vellumo {

enum class ReadFailure {
    None,
    Missing,    // no such file (or it went away before it was opened)
    NotAllowed, // no permission to read it or to reach its folder
    Folder,
    Fifo,
    Device,     // character or block device
    Socket,
    NotRegular, // any other kind of file-system object
    TooLarge,   // 2^31 bytes or more: more than the decoder takes
    NoMemory,
    ReadError,  // an I/O error while reading
};

struct FileReadResult {
    ReadFailure failure = ReadFailure::None;
    int error = 0;   // errno behind Missing, NotAllowed and ReadError
    QByteArray data; // the whole file when failure is None
};

// Reads the whole regular file at path. The type is checked before the
// file is opened, and again on the open descriptor, so a folder, FIFO or
// device is refused without waiting on it. The file is then read to its
// end, whatever size it had when it was measured: a file that shrinks or
// grows meanwhile gives the bytes it holds, one that is removed after it
// was opened is still read in full.
FileReadResult ReadWholeFile(const QString &path);

// Called between measuring an opened file and reading it (tests change
// the file there). An empty function removes the hook.
void SetAfterMeasureHook(std::function<void(const QString &path)> hook);

// The sentence that says why path could not be read, e.g. "print.wsq is a
// folder, not a WSQ file."; names the file by its name only.
QString ReadFailureText(const QString &path, const FileReadResult &result);

// What kind of picture the data holds when it is a common image format
// that is not WSQ ("a PNG image", "a JPEG 2000 image", ...); empty for
// data that starts like a WSQ codestream or that is not recognised.
QString ForeignImageKind(const unsigned char *data, qsizetype size);

} // namespace vellumo
