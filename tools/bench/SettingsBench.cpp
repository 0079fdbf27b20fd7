// Settings store throughput: N writes (each its own committed transaction, journal on) and N
// reads through the standalone manager, and the file size after them. Prints key=value lines.
//   SettingsBench.exe <store path> [count]
#include <windows.h>

#include <cstdio>
#include <cwchar>
#include <string>

#include <wrl/client.h>

#include "common/base/qkWideFormat.h"
#include "settings/manager/qkSettingsModule.h"

using Microsoft::WRL::ComPtr;
using namespace qkSettings;

namespace {

double Now()
{
    LARGE_INTEGER f, c;
    ::QueryPerformanceFrequency(&f);
    ::QueryPerformanceCounter(&c);
    return static_cast<double>(c.QuadPart) / static_cast<double>(f.QuadPart);
}

} // namespace

int wmain(int argc, wchar_t** argv)
{
    if (argc < 2) {
        std::fwprintf(stderr, L"usage: SettingsBench <store path> [count]\n");
        return 2;
    }
    const wchar_t* path = argv[1];
    int count = argc > 2 ? _wtoi(argv[2]) : 10000;
    ::DeleteFileW(path);
    ::DeleteFileW((std::wstring(path) + L".log").c_str());
    ::DeleteFileW((std::wstring(path) + L".bak").c_str());
    if (FAILED(ModuleAddRef()))
        return 1;
    ComPtr<ISettingsMgr> mgr;
    HRESULT hr = CreateStandaloneSettingsMgr(&mgr);
    if (SUCCEEDED(hr))
        hr = mgr->Open(path, openflag::kCreate, nullptr);
    if (FAILED(hr)) {
        std::fwprintf(stderr, L"open failed: 0x%08lX\n", static_cast<unsigned long>(hr));
        return 1;
    }
    // Writes go to 100 sections of 100 values each; every write is one PutSettings, which is
    // one committed transaction of the store.
    wchar_t section[64], name[32];
    double start = Now();
    for (int i = 0; i < count; ++i) {
        qkLib::FormatWide(section, 64, L"Bench\\Section%03d", i % 100);
        qkLib::FormatWide(name, 32, L"Value%05d", i);
        ComPtr<ISettings> s;
        hr = mgr->GetSettings(section, &s);
        if (SUCCEEDED(hr))
            hr = s->SetDword(name, static_cast<DWORD>(i));
        if (SUCCEEDED(hr))
            hr = mgr->PutSettings(s.Get());
        if (FAILED(hr)) {
            std::fwprintf(stderr, L"write %d failed: 0x%08lX\n", i, static_cast<unsigned long>(hr));
            return 1;
        }
    }
    double writeSeconds = Now() - start;
    start = Now();
    for (int i = 0; i < count; ++i) {
        qkLib::FormatWide(section, 64, L"Bench\\Section%03d", i % 100);
        qkLib::FormatWide(name, 32, L"Value%05d", i);
        ComPtr<ISettings> s;
        DWORD v = 0;
        hr = mgr->OpenSettings(section, &s);
        if (SUCCEEDED(hr))
            hr = s->GetDword(name, &v);
        if (FAILED(hr) || v != static_cast<DWORD>(i)) {
            std::fwprintf(stderr, L"read %d failed: 0x%08lX\n", i, static_cast<unsigned long>(hr));
            return 1;
        }
    }
    double readSeconds = Now() - start;
    mgr->Close();
    WIN32_FILE_ATTRIBUTE_DATA info{};
    ::GetFileAttributesExW(path, GetFileExInfoStandard, &info);
    std::wprintf(L"settings_writes=%d\nsettings_write_seconds=%.3f\nsettings_writes_per_second=%.0f\n", count,
                 writeSeconds, count / writeSeconds);
    std::wprintf(L"settings_read_seconds=%.3f\nsettings_reads_per_second=%.0f\nsettings_file_bytes=%lu\n", readSeconds,
                 count / readSeconds, info.nFileSizeLow);
    mgr.Reset();
    ModuleRelease();
    return 0;
}
