// A DLL with the two self-registration exports, for the trust repair's tests. Each call appends
// "<module name> register" or "<module name> unregister" to the file named by VEK_REPAIR_LOG;
// built with FIXTURE_REGISTER_FAILS its DllRegisterServer answers E_FAIL.
#include <windows.h>

#include <string>

namespace {

HMODULE g_module = nullptr;

void Record(const char* what)
{
    wchar_t log[MAX_PATH];
    const DWORD n = GetEnvironmentVariableW(L"VEK_REPAIR_LOG", log, MAX_PATH);
    if (n == 0 || n >= MAX_PATH)
        return;
    char name[MAX_PATH] = {};
    const DWORD length = GetModuleFileNameA(g_module, name, MAX_PATH);
    std::string line(name, length);
    line = line.substr(line.find_last_of('\\') + 1) + " " + what + "\n";
    const HANDLE file = CreateFileW(log, FILE_APPEND_DATA, FILE_SHARE_READ, nullptr, OPEN_ALWAYS, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return;
    DWORD written = 0;
    WriteFile(file, line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
    CloseHandle(file);
}

} // namespace

extern "C" HRESULT STDAPICALLTYPE DllUnregisterServer()
{
    Record("unregister");
    return S_OK;
}

extern "C" HRESULT STDAPICALLTYPE DllRegisterServer()
{
    Record("register");
#ifdef FIXTURE_REGISTER_FAILS
    return E_FAIL;
#else
    return S_OK;
#endif
}

BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID)
{
    if (reason == DLL_PROCESS_ATTACH)
        g_module = instance;
    return TRUE;
}
