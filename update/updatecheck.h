// updatecheck.h - asks the maker's web service for the newest version.
#pragma once

#include <QString>
#include <cstdint>

class QWidget;

class CUpdateCheck {
public:
    CUpdateCheck();

    // Virtual operations, in their designed order.
    //
    // With an owner and the silent flag: stores both, checks the default
    // address; always true.
    virtual bool CheckForUpdate(QWidget *owner, bool silent);
    // Checks the default address; always true.
    virtual bool CheckForUpdate();
    // Stores the owner, then checks the given address.
    virtual bool CheckForUpdate(const QString &address, QWidget *owner);
    // The check itself. True when the service named a version (older, equal
    // or newer), false when there was no usable answer.
    virtual bool CheckForUpdate(const QString &address);
    // Checks the address held by a string resource (IDS_UPDATE_ADDRESS); an
    // unknown id has no address and so ends as a connection issue.
    virtual bool CheckForUpdate(unsigned int resourceId);
    virtual ~CUpdateCheck();
    // The outcomes. The default ones show CUpdateDlg; called on the thread
    // that runs the check, they hand the dialog to the GUI thread when that
    // is another one and return at once.
    virtual void OnLatestVersion(std::uint32_t versionMS, std::uint32_t versionLS);
    virtual void OnConnectionIssue(std::uint32_t versionMS, std::uint32_t versionLS);
    virtual void OnUpdateAvailable(const QString &title);

    // The update address: VELLUMO_UPDATE_URL when set, else the maker's.
    static QString DefaultAddress();
    // False when VELLUMO_UPDATE_URL is set to an empty value.
    static bool StartupCheckEnabled();

    // String resource holding the update address.
    static constexpr unsigned int IDS_UPDATE_ADDRESS = 240;

    // The running program's file version as two words (major.minor in the
    // first, patch.build in the second).
    static std::uint32_t RunningVersionMS();
    static std::uint32_t RunningVersionLS();
    // "<address>&ver=%d.%d.%d.%d&osid=%d".
    static QString RequestAddress(const QString &address, std::uint32_t versionMS,
                                  std::uint32_t versionLS, int osId);

    QWidget *m_hOwner = nullptr;
    bool m_bSilent = false;
};
