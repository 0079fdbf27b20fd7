#pragma once
// Shared pieces of the session-launch tests: a folder with a blank in its name holding a copy
// of the recorder program, and a Win32 facade that stands in for the sessions, accounts and
// tokens that Wine does not have (one session, always administrator, never SYSTEM).
#include <windows.h>
#include <sddl.h>

#include <cstdlib>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "services/launcher/CWinApi.h"

namespace session_test {

inline std::wstring BuildBin()
{
    const char* build = std::getenv("VEK_BUILD_DIR");
    std::wstring path = L"Z:";
    for (char c : std::string(build ? build : "") + "/bin")
        path.push_back(c == '/' ? L'\\' : static_cast<wchar_t>(c));
    return path;
}

// "<temp>\vek session <pid>-<n>\recorder.exe", removed with what the recorder wrote.
class RecorderDir {
public:
    RecorderDir()
    {
        static int counter = 0;
        wchar_t temp[MAX_PATH];
        GetTempPathW(MAX_PATH, temp);
        m_dir = std::wstring(temp) + L"vek session " + std::to_wstring(GetCurrentProcessId()) + L"-" +
                std::to_wstring(++counter);
        CreateDirectoryW(m_dir.c_str(), nullptr);
        CopyFileW((BuildBin() + L"\\session_recorder.exe").c_str(), Program().c_str(), FALSE);
    }
    ~RecorderDir()
    {
        DeleteFileW(Program().c_str());
        DeleteFileW(Recorded().c_str());
        RemoveDirectoryW(m_dir.c_str());
    }
    std::wstring Program() const { return m_dir + L"\\recorder.exe"; }
    std::wstring Recorded() const { return m_dir + L"\\recorded.txt"; }
    // What the recorder wrote: its command line, a line feed, and its show-window request.
    std::wstring Read() const
    {
        HANDLE file =
            CreateFileW(Recorded().c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
        if (file == INVALID_HANDLE_VALUE)
            return L"(nothing recorded)";
        std::wstring text(4096, L'\0');
        DWORD read = 0;
        ReadFile(file, text.data(), static_cast<DWORD>(text.size() * sizeof(wchar_t)), &read, nullptr);
        CloseHandle(file);
        text.resize(read / sizeof(wchar_t));
        return text;
    }

private:
    std::wstring m_dir;
};

// The real system, except for what a case sets.
class FakeWinApi : public vek::CWinApi {
public:
    std::optional<DWORD> activeSession;  // one active user session besides session 0
    bool runningAsSystem = false;        // the process token's user reads as S-1-5-18
    std::optional<DWORD> processSession; // the session of this process
    bool userTokenFromProcess = false;   // a session's user token is this process's token
    bool standardUser = false;           // no linked token and no administrators group
    int createAsUserCalls = 0;
    // A full session table in place of activeSession; the users of standardSessions are no
    // administrators (their tokens show no groups).
    std::vector<std::pair<DWORD, WTS_CONNECTSTATE_CLASS>> sessionTable;
    std::set<DWORD> standardSessions;
    std::optional<DWORD> consoleSession;
    std::optional<DWORD> createAsUserError; // CreateProcessAsUserW fails with it
    // When set: the sessions whose user token is this process's token; the others have no user
    // token (ERROR_NO_TOKEN).
    std::optional<std::set<DWORD>> userTokenSessions;
    // The session of the user token behind each CreateProcessAsUserW call (0xFFFFFFFF: another token).
    std::vector<DWORD> createAsUserSessions;

    BOOL WTSEnumerateSessionsW(HANDLE server, WTS_SESSION_INFOW** sessions, DWORD* count) override
    {
        if (!sessionTable.empty()) {
            m_sessions.clear();
            for (const auto& [id, state] : sessionTable)
                m_sessions.push_back(WTS_SESSION_INFOW{id, const_cast<wchar_t*>(L"Session"), state});
        } else if (activeSession) {
            m_sessions = {WTS_SESSION_INFOW{0, const_cast<wchar_t*>(L"Services"), WTSDisconnected},
                          WTS_SESSION_INFOW{*activeSession, const_cast<wchar_t*>(L"Console"), WTSActive}};
        } else {
            return vek::CWinApi::WTSEnumerateSessionsW(server, sessions, count);
        }
        *sessions = m_sessions.data();
        *count = static_cast<DWORD>(m_sessions.size());
        return TRUE;
    }
    void WTSFreeMemory(void* memory) override
    {
        if (m_sessions.empty() || memory != m_sessions.data())
            vek::CWinApi::WTSFreeMemory(memory);
    }
    BOOL ConvertSidToStringSidW(PSID sid, wchar_t** text) override
    {
        if (!runningAsSystem)
            return vek::CWinApi::ConvertSidToStringSidW(sid, text);
        PSID system = nullptr;
        ::ConvertStringSidToSidW(L"S-1-5-18", &system);
        const BOOL ok = vek::CWinApi::ConvertSidToStringSidW(system, text);
        ::LocalFree(system);
        return ok;
    }
    BOOL ProcessIdToSessionId(DWORD processId, DWORD* sessionId) override
    {
        if (processSession && processId == ::GetCurrentProcessId()) {
            *sessionId = *processSession;
            return TRUE;
        }
        return vek::CWinApi::ProcessIdToSessionId(processId, sessionId);
    }
    BOOL WTSQueryUserToken(ULONG sessionId, HANDLE* token) override
    {
        if (userTokenSessions && !userTokenSessions->count(sessionId)) {
            ::SetLastError(ERROR_NO_TOKEN);
            return FALSE;
        }
        if (!userTokenFromProcess && !userTokenSessions)
            return vek::CWinApi::WTSQueryUserToken(sessionId, token);
        if (!::OpenProcessToken(::GetCurrentProcess(), MAXIMUM_ALLOWED, token))
            return FALSE;
        m_tokenSessions[*token] = sessionId;
        return TRUE;
    }
    BOOL DuplicateTokenEx(HANDLE token, DWORD access, SECURITY_ATTRIBUTES* attributes,
                          SECURITY_IMPERSONATION_LEVEL level, TOKEN_TYPE type, HANDLE* duplicate) override
    {
        if (!vek::CWinApi::DuplicateTokenEx(token, access, attributes, level, type, duplicate))
            return FALSE;
        const auto found = m_tokenSessions.find(token);
        if (found != m_tokenSessions.end())
            m_tokenSessions[*duplicate] = found->second;
        return TRUE;
    }
    DWORD WTSGetActiveConsoleSessionId() override
    {
        return consoleSession ? *consoleSession : vek::CWinApi::WTSGetActiveConsoleSessionId();
    }
    BOOL GetTokenInformation(HANDLE token, TOKEN_INFORMATION_CLASS kind, void* info, DWORD length,
                             DWORD* returned) override
    {
        const auto found = m_tokenSessions.find(token);
        const bool standard = standardUser || (found != m_tokenSessions.end() && standardSessions.count(found->second));
        if (standard && kind == TokenLinkedToken) {
            ::SetLastError(ERROR_NO_SUCH_LOGON_SESSION);
            return FALSE;
        }
        if (standard && kind == TokenGroups) {
            *returned = sizeof(TOKEN_GROUPS);
            if (length < sizeof(TOKEN_GROUPS)) {
                ::SetLastError(ERROR_INSUFFICIENT_BUFFER);
                return FALSE;
            }
            static_cast<TOKEN_GROUPS*>(info)->GroupCount = 0;
            return TRUE;
        }
        if (!vek::CWinApi::GetTokenInformation(token, kind, info, length, returned))
            return FALSE;
        if (kind == TokenLinkedToken && found != m_tokenSessions.end())
            m_tokenSessions[static_cast<TOKEN_LINKED_TOKEN*>(info)->LinkedToken] = found->second;
        return TRUE;
    }
    BOOL CreateProcessAsUserW(HANDLE token, const wchar_t* application, wchar_t* commandLine, DWORD flags,
                              void* environment, const wchar_t* directory, STARTUPINFOW* startup,
                              PROCESS_INFORMATION* process) override
    {
        ++createAsUserCalls;
        const auto session = m_tokenSessions.find(token);
        createAsUserSessions.push_back(session != m_tokenSessions.end() ? session->second : 0xFFFFFFFF);
        if (createAsUserError) {
            ::SetLastError(*createAsUserError);
            return FALSE;
        }
        return vek::CWinApi::CreateProcessAsUserW(token, application, commandLine, flags, environment, directory,
                                                  startup, process);
    }

private:
    std::vector<WTS_SESSION_INFOW> m_sessions;
    std::map<HANDLE, DWORD> m_tokenSessions; // user tokens handed out, by session
};

// Makes the facade the process-wide one (the launcher tools use that) for the scope.
class ScopedDefaultWinApi {
public:
    explicit ScopedDefaultWinApi(std::shared_ptr<vek::IWinApi> api) { vek::SetDefaultWinApi(std::move(api)); }
    ~ScopedDefaultWinApi() { vek::SetDefaultWinApi(nullptr); }
};

inline DWORD CurrentSession()
{
    DWORD session = 0;
    ProcessIdToSessionId(GetCurrentProcessId(), &session);
    return session;
}

} // namespace session_test
