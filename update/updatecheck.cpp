#include "updatecheck.h"

#include "httpget.h"
#include "osid.h"
#include "uiseam.h"
#include "updatedlg.h"
#include "versionreply.h"
#include "vellumo_version.h"

#include <QApplication>
#include <QCoreApplication>
#include <QCursor>
#include <QGuiApplication>
#include <QMetaObject>
#include <QPointer>
#include <QSettings>
#include <QThread>
#include <QWidget>

#include <cstdio>
#include <functional>
#include <utility>

namespace {

using namespace vellumo::update;

constexpr long kMaxReplyBytes = 512;   // one read of this many bytes
constexpr qsizetype kMaxReplyText = 511;
constexpr qsizetype kMaxVersionText = 63; // stored value and title alike
constexpr long kConnectTimeoutMs = 30000;
constexpr long kTotalTimeoutMs = 60000;

const char *const kUserAgent = "Update search";
const char *const kErrorText = "An Error occurred trying to check for an update\nPlease try again later";

QString settingsOrganisation() { return QStringLiteral("Corvanta"); }
QString settingsApplication() { return QStringLiteral("Vellumo"); }
QString updateVersionKey() { return QStringLiteral("UpdateVersion"); }

bool onGuiThread()
{
    const QCoreApplication *app = QCoreApplication::instance();
    return app && QThread::currentThread() == app->thread();
}

// Widgets live on the GUI thread only. Runs the job at once when called
// there, otherwise queues it there and returns without waiting, so a
// thread that is itself waited for by the GUI thread never deadlocks.
void onGui(std::function<void()> job)
{
    QCoreApplication *app = QCoreApplication::instance();
    if (!app || !qobject_cast<QApplication *>(app))
        return; // no widgets without a widget application
    if (onGuiThread())
        job();
    else
        QMetaObject::invokeMethod(app, std::move(job), Qt::QueuedConnection);
}

void showUpdateDialog(const QString &title, const QString &info)
{
    onGui([title, info] {
        CUpdateDlg dialog(title, info);
        vellumo::ui::execModal(dialog);
    });
}

// The application's wait cursor for as long as the service is asked; only
// the GUI thread may touch it.
class WaitCursor {
public:
    WaitCursor()
        : m_active(onGuiThread() && qobject_cast<QGuiApplication *>(QCoreApplication::instance()))
    {
        if (m_active)
            QGuiApplication::setOverrideCursor(QCursor(Qt::WaitCursor));
    }
    ~WaitCursor() { release(); }
    void release()
    {
        if (m_active)
            QGuiApplication::restoreOverrideCursor();
        m_active = false;
    }
    WaitCursor(const WaitCursor &) = delete;
    WaitCursor &operator=(const WaitCursor &) = delete;

private:
    bool m_active;
};

void diagnostic(const char *line)
{
    std::fputs(line, stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

// The version text of the last announcement; empty when absent, when the
// store cannot be read, or when the value is not one this program writes.
QString readStoredVersion()
{
    QSettings settings(settingsOrganisation(), settingsApplication());
    if (settings.status() != QSettings::NoError)
        return {};
    QString stored = settings.value(updateVersionKey()).toString();
    const qsizetype nul = stored.indexOf(QChar(u'\0'));
    if (nul >= 0)
        stored.truncate(nul);
    if (stored.size() > kMaxVersionText)
        return {};
    return stored;
}

void writeStoredVersion(const QString &text)
{
    QSettings settings(settingsOrganisation(), settingsApplication());
    if (settings.status() != QSettings::NoError)
        return; // the store cannot be opened: nothing written, nothing said
    settings.setValue(updateVersionKey(), text);
    const bool written = settings.isWritable() && settings.status() == QSettings::NoError;
    diagnostic(written ? "Success writing to Registry." : "Error writing to Registry.");
    settings.sync();
    diagnostic(settings.status() == QSettings::NoError ? "Success closing key." : "Error closing key.");
}

} // namespace

CUpdateCheck::CUpdateCheck() = default;
CUpdateCheck::~CUpdateCheck() = default;

bool CUpdateCheck::CheckForUpdate(QWidget *owner, bool silent)
{
    m_hOwner = owner;
    m_bSilent = silent;
    CheckForUpdate(DefaultAddress());
    return true;
}

bool CUpdateCheck::CheckForUpdate()
{
    CheckForUpdate(DefaultAddress());
    return true;
}

bool CUpdateCheck::CheckForUpdate(const QString &address, QWidget *owner)
{
    m_hOwner = owner;
    return CheckForUpdate(address);
}

bool CUpdateCheck::CheckForUpdate(const QString &address)
{
    const std::uint32_t versionMS = RunningVersionMS();
    const std::uint32_t versionLS = RunningVersionLS();
    const int osId = GetOsId();

    WaitCursor waitCursor;

    // No address (VELLUMO_UPDATE_URL set empty, or an unknown resource):
    // the service cannot be asked.
    if (address.isEmpty()) {
        waitCursor.release();
        OnConnectionIssue(versionMS, versionLS);
        return false;
    }

    HttpGetRequest request;
    request.url = RequestAddress(address, versionMS, versionLS, osId).toUtf8();
    request.userAgent = kUserAgent;
    request.headers = {QByteArrayLiteral("Pragma: no-cache"), QByteArrayLiteral("Cache-Control: no-cache")};
    request.maxBytes = kMaxReplyBytes;
    request.connectTimeoutMs = kConnectTimeoutMs;
    request.totalTimeoutMs = kTotalTimeoutMs;
    const HttpGetResult reply = httpGet(request);
    // The outcome dialogs must not inherit the wait cursor.
    waitCursor.release();

    if (reply.status == HttpGetResult::OpenFailed) {
        OnConnectionIssue(versionMS, versionLS);
        return false;
    }
    if (reply.status == HttpGetResult::ReadFailed)
        return false;
    if (reply.body.isEmpty() || reply.body.size() > kMaxReplyText) {
        OnConnectionIssue(versionMS, versionLS);
        return false;
    }

    auto refuse = [this] {
        if (m_bSilent)
            return;
        const QPointer<QWidget> owner(m_hOwner);
        onGui([owner] {
            vellumo::ui::MessageBoxRequest box;
            box.owner = owner.data();
            box.caption = QString();
            box.text = QString::fromLatin1(kErrorText);
            box.icon = QMessageBox::Critical;
            vellumo::ui::showMessageBox(box);
        });
    };

    const QList<QByteArray> fields = splitReplyFields(reply.body);
    if (fields.size() < 4) {
        refuse();
        return false;
    }

    const VersionWords newest = versionFromFields(fieldValue(fields[0]), fieldValue(fields[1]),
                                                  fieldValue(fields[2]), fieldValue(fields[3]));
    if (!isNewer(newest, {versionMS, versionLS})) {
        OnLatestVersion(versionMS, versionLS);
        return true;
    }

    const QByteArray joined = fields[0] + '|' + fields[1] + '|' + fields[2] + '|' + fields[3];
    const QByteArray title = "Update Available v" + fields[0] + '.' + fields[1] + '.' + fields[2] + '.' + fields[3];
    // Version texts longer than the store and the title allow are not ours
    // to announce: such a reply counts as malformed.
    if (joined.size() > kMaxVersionText || title.size() > kMaxVersionText) {
        refuse();
        return false;
    }
    const QString versionText = QString::fromUtf8(joined);

    const QString stored = readStoredVersion();
    writeStoredVersion(versionText);

    if (!m_bSilent || stored != versionText)
        OnUpdateAvailable(QString::fromUtf8(title));
    return true;
}

bool CUpdateCheck::CheckForUpdate(unsigned int resourceId)
{
    return CheckForUpdate(resourceId == IDS_UPDATE_ADDRESS ? DefaultAddress() : QString());
}

void CUpdateCheck::OnLatestVersion(std::uint32_t, std::uint32_t)
{
    if (m_bSilent)
        return;
    showUpdateDialog(QStringLiteral("Latest Version"),
                     QStringLiteral("Good news, you are already using the latest version"));
}

void CUpdateCheck::OnConnectionIssue(std::uint32_t, std::uint32_t)
{
    if (m_bSilent)
        return;
    showUpdateDialog(QStringLiteral("Connection Issue"), QStringLiteral("Unable to check at this time"));
}

void CUpdateCheck::OnUpdateAvailable(const QString &title)
{
    showUpdateDialog(title, QStringLiteral("Great news, a new version is available!"));
}

QString CUpdateCheck::DefaultAddress()
{
    const QByteArray env = qgetenv("VELLUMO_UPDATE_URL");
    if (!env.isNull())
        return QString::fromUtf8(env);
    return QStringLiteral("http://updates.corvanta.example/getproductversion.ashx?app=vellumo&platform=x64");
}

bool CUpdateCheck::StartupCheckEnabled()
{
    return !(qEnvironmentVariableIsSet("VELLUMO_UPDATE_URL") && qEnvironmentVariableIsEmpty("VELLUMO_UPDATE_URL"));
}

std::uint32_t CUpdateCheck::RunningVersionMS()
{
    return (std::uint32_t(VELLUMO_VERSION_MAJOR) & 0xFFFFu) << 16 | (std::uint32_t(VELLUMO_VERSION_MINOR) & 0xFFFFu);
}

std::uint32_t CUpdateCheck::RunningVersionLS()
{
    return (std::uint32_t(VELLUMO_VERSION_PATCH) & 0xFFFFu) << 16 | (std::uint32_t(VELLUMO_VERSION_BUILD) & 0xFFFFu);
}

QString CUpdateCheck::RequestAddress(const QString &address, std::uint32_t versionMS,
                                     std::uint32_t versionLS, int osId)
{
    return QStringLiteral("%1&ver=%2.%3.%4.%5&osid=%6")
        .arg(address)
        .arg(versionMS >> 16)
        .arg(versionMS & 0xFFFFu)
        .arg(versionLS >> 16)
        .arg(versionLS & 0xFFFFu)
        .arg(osId);
}
