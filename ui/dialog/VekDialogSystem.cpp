#include "ui/dialog/VekDialogSystem.h"

#include "common/errors/qkLog.h"
#include "common/system/qkPrivilege.h"
#include "services/launcher/VekTools.h"
#include "ui/controls/VekLinkOpener.h"

#include <shobjidl.h>
#include <wrl/client.h>

#include <memory>

namespace vek {

namespace {

class VekRealDialogSystem final : public VekDialogSystem {
public:
    bool EnableShutdownPrivilege() override
    {
        m_privilege = std::make_unique<qkPrivilege>();
        return m_privilege->EnableForCurrentProcess(SE_SHUTDOWN_NAME);
    }

    void RestoreShutdownPrivilege() override
    {
        if (m_privilege)
            m_privilege->Restore();
        m_privilege.reset();
    }

    BOOL ExitWindowsSession(UINT flags, DWORD reason) override { return ::ExitWindowsEx(flags, reason); }

    bool IsActiveAdminSession() override
    {
        VekTools::SessionList sessions;
        if (!VekTools::GetActiveSessions(sessions, false))
            return false;
        DWORD own = 0;
        if (!::ProcessIdToSessionId(::GetCurrentProcessId(), &own))
            return false;
        for (const WTS_SESSION_INFOW& session : sessions) {
            if (session.SessionId == own)
                return VekTools::isSessionUserAdmin(own);
        }
        return false;
    }

    int ShowMessageBox(HWND owner, const std::wstring& text, const std::wstring& caption, UINT type) override
    {
        return ::MessageBoxW(owner, text.c_str(), caption.c_str(), type);
    }

    bool CanPickFolder() override { return !VekLinkOpener::IsRunningAsSystem(); }

    std::optional<std::wstring> PickFolder(HWND owner, const std::wstring& title, const std::wstring& start) override
    {
        Microsoft::WRL::ComPtr<IFileOpenDialog> dialog;
        HRESULT hr = ::CoCreateInstance(CLSID_FileOpenDialog, nullptr, CLSCTX_INPROC_SERVER,
                                        IID_PPV_ARGS(dialog.GetAddressOf()));
        if (FAILED(hr)) {
            QK_LOG_ERROR(L"Unable to create the folder picker: 0x%08X", static_cast<unsigned>(hr));
            return std::nullopt;
        }
        dialog->SetTitle(title.c_str());
        if (!start.empty()) {
            Microsoft::WRL::ComPtr<IShellItem> folder;
            if (SUCCEEDED(::SHCreateItemFromParsingName(start.c_str(), nullptr, IID_PPV_ARGS(folder.GetAddressOf()))))
                dialog->SetFolder(folder.Get());
        }
        FILEOPENDIALOGOPTIONS options = 0;
        dialog->GetOptions(&options);
        dialog->SetOptions(options | FOS_PICKFOLDERS | FOS_NOREADONLYRETURN | FOS_DONTADDTORECENT);
        if (FAILED(dialog->Show(owner)))
            return std::nullopt;
        Microsoft::WRL::ComPtr<IShellItem> item;
        if (FAILED(dialog->GetResult(item.GetAddressOf())))
            return std::nullopt;
        wchar_t* path = nullptr;
        if (FAILED(item->GetDisplayName(SIGDN_FILESYSPATH, &path)) || path == nullptr)
            return std::nullopt;
        std::wstring chosen(path);
        ::CoTaskMemFree(path);
        return chosen;
    }

    bool IsEnterKeyDown() override { return (::GetKeyState(VK_RETURN) & 0x8000) != 0; }

private:
    std::unique_ptr<qkPrivilege> m_privilege;
};

} // namespace

VekDialogSystem& VekDialogSystem::Default()
{
    static VekRealDialogSystem system;
    return system;
}

} // namespace vek
