#include "updatecheck.h"

CUpdateCheck::CUpdateCheck() = default;
CUpdateCheck::~CUpdateCheck() = default;

bool CUpdateCheck::CheckForUpdate(QWidget *owner, bool silent)
{
    m_hOwner = owner;
    m_bSilent = silent;
    return CheckForUpdate(DefaultAddress());
}
bool CUpdateCheck::CheckForUpdate() { return CheckForUpdate(DefaultAddress()); }
bool CUpdateCheck::CheckForUpdate(const QString &address, QWidget *owner)
{
    m_hOwner = owner;
    return CheckForUpdate(address);
}
bool CUpdateCheck::CheckForUpdate(const QString &) { return true; }
bool CUpdateCheck::CheckForUpdate(unsigned int) { return CheckForUpdate(DefaultAddress()); }
void CUpdateCheck::OnLatestVersion(std::uint32_t, std::uint32_t) {}
void CUpdateCheck::OnConnectionIssue(std::uint32_t, std::uint32_t) {}
void CUpdateCheck::OnUpdateAvailable(const QString &) {}

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
