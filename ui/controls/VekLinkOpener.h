#pragma once
// Opens a web address for the user. A launcher that runs as SYSTEM on a user's desktop must
// never start the browser as SYSTEM: it opens the address with the session user's token through
// the session opener that start-up installs, or not at all.
#include <windows.h>

#include <functional>
#include <string>

namespace vek {

class IVekLinkOpener {
public:
    virtual ~IVekLinkOpener() = default;
    // The shell's convention: a value above 32 means opened; 32 or less is the error
    // (SE_ERR_ACCESSDENIED when opening is refused).
    virtual int OpenLink(const std::wstring& url) = 0;
};

class VekLinkOpener : public IVekLinkOpener {
public:
    // Opens an address as the interactive session's user; true when it was opened.
    using SessionOpener = std::function<bool(const std::wstring& url)>;
    using ShellOpener = std::function<int(const std::wstring& url)>;
    using SystemCheck = std::function<bool()>;

    // The process-wide opener the hyperlinks use.
    static VekLinkOpener& Default();
    // Installed by start-up once launching in the user's session is available.
    static void SetSessionOpener(SessionOpener opener);

    // Empty functions mean the system's: ShellExecuteW "open", the process token's SID.
    explicit VekLinkOpener(SystemCheck isSystem = {}, ShellOpener shell = {});

    int OpenLink(const std::wstring& url) override;

    // Whether the process token's user is LocalSystem.
    static bool IsRunningAsSystem();

private:
    SystemCheck m_isSystem;
    ShellOpener m_shell;
};

} // namespace vek
