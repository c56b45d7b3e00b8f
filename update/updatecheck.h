// updatecheck.h - asks the maker's web service for the newest version.
#pragma once

#include <QString>
#include <cstdint>

class QWidget;

class CUpdateCheck {
public:
    CUpdateCheck();

    // Virtual operations, in their designed order.
    virtual bool CheckForUpdate(QWidget *owner, bool silent);
    virtual bool CheckForUpdate();
    virtual bool CheckForUpdate(const QString &address, QWidget *owner);
    virtual bool CheckForUpdate(const QString &address);
    virtual bool CheckForUpdate(unsigned int resourceId);
    virtual ~CUpdateCheck();
    virtual void OnLatestVersion(std::uint32_t versionMS, std::uint32_t versionLS);
    virtual void OnConnectionIssue(std::uint32_t versionMS, std::uint32_t versionLS);
    virtual void OnUpdateAvailable(const QString &title);

    // The update address: VELLUMO_UPDATE_URL when set, else the maker's.
    static QString DefaultAddress();
    // False when VELLUMO_UPDATE_URL is set to an empty value.
    static bool StartupCheckEnabled();

    QWidget *m_hOwner = nullptr;
    bool m_bSilent = false;
};
