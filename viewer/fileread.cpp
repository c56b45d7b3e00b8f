#include "fileread.h"

#include <QFile>
#include <QFileInfo>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <fcntl.h>
#include <initializer_list>
#include <new>
#include <sys/stat.h>
#include <unistd.h>

namespace vellumo {
namespace {

std::function<void(const QString &)> &afterMeasureHook()
{
    static std::function<void(const QString &)> hook;
    return hook;
}

// The decoder takes buffers of at most INT_MAX bytes.
constexpr qsizetype kMaxFileSize = INT_MAX;

ReadFailure KindOf(mode_t mode)
{
    if (S_ISREG(mode))
        return ReadFailure::None;
    if (S_ISDIR(mode))
        return ReadFailure::Folder;
    if (S_ISFIFO(mode))
        return ReadFailure::Fifo;
    if (S_ISCHR(mode) || S_ISBLK(mode))
        return ReadFailure::Device;
    if (S_ISSOCK(mode))
        return ReadFailure::Socket;
    return ReadFailure::NotRegular;
}

FileReadResult Failed(ReadFailure failure, int error = 0)
{
    FileReadResult result;
    result.failure = failure;
    result.error = error;
    return result;
}

FileReadResult FailedOpen(int error)
{
    switch (error) {
    case ENOENT:
    case ENOTDIR: return Failed(ReadFailure::Missing, error);
    case EACCES:
    case EPERM: return Failed(ReadFailure::NotAllowed, error);
    case ENOMEM: return Failed(ReadFailure::NoMemory, error);
    default: return Failed(ReadFailure::ReadError, error);
    }
}

class Descriptor {
public:
    explicit Descriptor(int fd) : m_fd(fd) {}
    ~Descriptor()
    {
        if (m_fd >= 0)
            ::close(m_fd);
    }
    Descriptor(const Descriptor &) = delete;
    Descriptor &operator=(const Descriptor &) = delete;
    int get() const { return m_fd; }

private:
    int m_fd;
};

} // namespace

void SetAfterMeasureHook(std::function<void(const QString &path)> hook) { afterMeasureHook() = std::move(hook); }

FileReadResult ReadWholeFile(const QString &path)
{
    const QByteArray narrow = QFile::encodeName(path);
    if (narrow.isEmpty())
        return Failed(ReadFailure::Missing, ENOENT);

    // What the name is, before anything opens it: opening a FIFO waits
    // for a writer, reading a device may never end.
    struct stat st {};
    if (::stat(narrow.constData(), &st) != 0)
        return FailedOpen(errno);
    if (const ReadFailure kind = KindOf(st.st_mode); kind != ReadFailure::None)
        return Failed(kind);

    // Non-blocking, in case the name now stands for a FIFO after all.
    const Descriptor fd(::open(narrow.constData(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK));
    if (fd.get() < 0)
        return FailedOpen(errno);
    if (::fstat(fd.get(), &st) != 0)
        return Failed(ReadFailure::ReadError, errno);
    if (const ReadFailure kind = KindOf(st.st_mode); kind != ReadFailure::None)
        return Failed(kind);
    if (st.st_size > kMaxFileSize)
        return Failed(ReadFailure::TooLarge);

    if (const auto &hook = afterMeasureHook())
        hook(path);

    // The measured size is only the first guess: read until the end.
    FileReadResult result;
    try {
        qsizetype capacity = qsizetype(st.st_size) + 1; // one more, to see the end at once
        result.data.resize(capacity);
        qsizetype total = 0;
        for (;;) {
            if (total == capacity) {
                if (capacity > kMaxFileSize)
                    return Failed(ReadFailure::TooLarge);
                capacity = std::min<qsizetype>(kMaxFileSize + 1, std::max<qsizetype>(capacity * 2, 65536));
                result.data.resize(capacity);
            }
            const ssize_t got = ::read(fd.get(), result.data.data() + total, std::size_t(capacity - total));
            if (got < 0) {
                if (errno == EINTR)
                    continue;
                return Failed(ReadFailure::ReadError, errno);
            }
            if (got == 0)
                break;
            total += got;
        }
        if (total > kMaxFileSize)
            return Failed(ReadFailure::TooLarge);
        result.data.truncate(total);
        result.data.squeeze();
    } catch (const std::bad_alloc &) {
        return Failed(ReadFailure::NoMemory, ENOMEM);
    }
    return result;
}

QString ReadFailureText(const QString &path, const FileReadResult &result)
{
    const QString name = QFileInfo(path).fileName().isEmpty() ? path : QFileInfo(path).fileName();
    switch (result.failure) {
    case ReadFailure::None: return {};
    case ReadFailure::Missing:
        return QStringLiteral("%1 cannot be found. It may have been moved, renamed or deleted.").arg(name);
    case ReadFailure::NotAllowed: return QStringLiteral("You are not allowed to read %1.").arg(name);
    case ReadFailure::Folder: return QStringLiteral("%1 is a folder, not a WSQ file.").arg(name);
    case ReadFailure::Fifo: return QStringLiteral("%1 is a named pipe, not a WSQ file.").arg(name);
    case ReadFailure::Device: return QStringLiteral("%1 is a device, not a WSQ file.").arg(name);
    case ReadFailure::Socket: return QStringLiteral("%1 is a socket, not a WSQ file.").arg(name);
    case ReadFailure::NotRegular: return QStringLiteral("%1 is not a regular file.").arg(name);
    case ReadFailure::TooLarge:
        return QStringLiteral("%1 is 2 GB or larger, too large for a WSQ file.").arg(name);
    case ReadFailure::NoMemory: return QStringLiteral("There is not enough memory to read %1.").arg(name);
    case ReadFailure::ReadError:
        return QStringLiteral("%1 could not be read (%2).")
            .arg(name, QString::fromLocal8Bit(std::strerror(result.error)));
    }
    return {};
}

QString ForeignImageKind(const unsigned char *d, qsizetype n)
{
    const auto starts = [d, n](std::initializer_list<unsigned char> sig, qsizetype at = 0) {
        if (n < at + qsizetype(sig.size()))
            return false;
        qsizetype i = at;
        for (unsigned char c : sig)
            if (d[i++] != c)
                return false;
        return true;
    };
    // The netpbm family: 'P', a digit, then white space.
    const auto netpbm = [d, n](char digit) {
        return n >= 3 && d[0] == 'P' && d[1] == digit && (d[2] == ' ' || d[2] == '\n' || d[2] == '\r' || d[2] == '\t');
    };
    if (d == nullptr || n < 2 || starts({0xFF, 0xA0}))
        return {};
    if (starts({0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A}))
        return QStringLiteral("a PNG image");
    if (starts({0xFF, 0xD8, 0xFF}))
        return QStringLiteral("a JPEG image");
    if (starts({0xFF, 0x4F, 0xFF, 0x51}) ||
        starts({0x00, 0x00, 0x00, 0x0C, 'j', 'P', ' ', ' ', 0x0D, 0x0A, 0x87, 0x0A}))
        return QStringLiteral("a JPEG 2000 image");
    if (starts({'B', 'M'}) && n >= 14)
        return QStringLiteral("a BMP image");
    if (netpbm('2') || netpbm('5'))
        return QStringLiteral("a PGM image");
    if (netpbm('3') || netpbm('6'))
        return QStringLiteral("a PPM image");
    if (netpbm('1') || netpbm('4'))
        return QStringLiteral("a PBM image");
    if (starts({'P', '7', '\n'}))
        return QStringLiteral("a PAM image");
    if (starts({'I', 'I', 0x2A, 0x00}) || starts({'M', 'M', 0x00, 0x2A}) || starts({'I', 'I', 0x2B, 0x00}) ||
        starts({'M', 'M', 0x00, 0x2B}))
        return QStringLiteral("a TIFF image");
    if (starts({'G', 'I', 'F', '8', '7', 'a'}) || starts({'G', 'I', 'F', '8', '9', 'a'}))
        return QStringLiteral("a GIF image");
    if (starts({'R', 'I', 'F', 'F'}) && starts({'W', 'E', 'B', 'P'}, 8))
        return QStringLiteral("a WebP image");
    return {};
}

} // namespace vellumo
