// Download throughput: the download engine against a bare WinHTTP read loop of the same buffer
// rule (read what WinHttpQueryDataAvailable offers, write it to a file), on one URL.
// Usage: DownloadBench <url> <folder>; prints "engine MB/s", "bare MB/s" and the peak working set.
#include "net/download/CWinHTTPEngine.h"
#include "net/download/DownloadJson.h"

#include <psapi.h>
#include <windows.h>
#include <winhttp.h>

#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

namespace {

double Seconds(std::chrono::steady_clock::time_point since)
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - since).count();
}

std::uint64_t BareLoop(const std::wstring& url, const std::wstring& path)
{
    URL_COMPONENTS parts{};
    parts.dwStructSize = sizeof(parts);
    wchar_t host[256], object[2048];
    parts.lpszHostName = host;
    parts.dwHostNameLength = 256;
    parts.lpszUrlPath = object;
    parts.dwUrlPathLength = 2048;
    WinHttpCrackUrl(url.c_str(), 0, 0, &parts);
    HINTERNET session = WinHttpOpen(L"bench", WINHTTP_ACCESS_TYPE_NO_PROXY, nullptr, nullptr, 0);
    HINTERNET connect = WinHttpConnect(session, host, parts.nPort, 0);
    HINTERNET request = WinHttpOpenRequest(connect, L"GET", object, nullptr, nullptr, nullptr, WINHTTP_FLAG_SECURE);
    WinHttpSendRequest(request, nullptr, 0, nullptr, 0, 0, 0);
    WinHttpReceiveResponse(request, nullptr);
    HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    std::vector<unsigned char> buffer;
    std::uint64_t total = 0;
    for (;;) {
        DWORD available = 0;
        if (!WinHttpQueryDataAvailable(request, &available) || available == 0)
            break;
        if (available > buffer.size())
            buffer.resize(available);
        DWORD read = 0;
        if (!WinHttpReadData(request, buffer.data(), available, &read) || read == 0)
            break;
        DWORD written = 0;
        WriteFile(file, buffer.data(), read, &written, nullptr);
        total += read;
    }
    CloseHandle(file);
    WinHttpCloseHandle(request);
    WinHttpCloseHandle(connect);
    WinHttpCloseHandle(session);
    return total;
}

} // namespace

int wmain(int argc, wchar_t** argv)
{
    if (argc < 3) {
        fwprintf(stderr, L"usage: DownloadBench <url> <folder>\n");
        return 2;
    }
    const std::wstring url = argv[1];
    const std::wstring folder = argv[2];

    vek::CWinHTTPEngine engine(nullptr, nullptr);
    std::uint64_t size = 0;
    engine.getDownloadSize(url, size);
    nlohmann::json record = {{"DownloadUri", vek::WideToUtf8(url)},
                             {"LocalFilePath", vek::WideToUtf8(folder + L"\\engine.bin")},
                             {"BytesTotal", std::to_string(size)}};
    auto start = std::chrono::steady_clock::now();
    HRESULT hr = engine.download(record);
    double engineSeconds = Seconds(start);
    PROCESS_MEMORY_COUNTERS counters{};
    GetProcessMemoryInfo(GetCurrentProcess(), &counters, sizeof(counters));

    start = std::chrono::steady_clock::now();
    std::uint64_t bare = BareLoop(url, folder + L"\\bare.bin");
    double bareSeconds = Seconds(start);

    const double mb = static_cast<double>(size) / (1024.0 * 1024.0);
    wprintf(L"engine_hr=0x%08lX size=%llu\n", static_cast<unsigned long>(hr), static_cast<unsigned long long>(size));
    wprintf(L"engine_MBps=%.1f\n", mb / engineSeconds);
    wprintf(L"bare_MBps=%.1f (bytes %llu)\n", static_cast<double>(bare) / (1024.0 * 1024.0) / bareSeconds,
            static_cast<unsigned long long>(bare));
    wprintf(L"ratio_engine_bare=%.3f\n", bareSeconds / engineSeconds);
    wprintf(L"engine_peak_working_set_MB=%.1f\n", counters.PeakWorkingSetSize / (1024.0 * 1024.0));
    DeleteFileW((folder + L"\\engine.bin").c_str());
    DeleteFileW((folder + L"\\bare.bin").c_str());
    return 0;
}
