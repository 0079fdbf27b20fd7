// Download throughput and memory: the download engine against a bare WinHTTP read loop of the same
// buffer rule (read what WinHttpQueryDataAvailable offers, write it to a file), on one URL.
// One way per process, so that each peak working set is that way's own:
//   DownloadBench idle                    does nothing: the baseline of a process under Wine
//   DownloadBench engine <url> <folder>   vek::CWinHTTPEngine::download (after its HEAD)
//   DownloadBench bare <url> <folder>     the bare loop (after a HEAD, as the engine)
//   DownloadBench sha <file>              vek::security::CalculateSHA256ForFile
//   DownloadBench sha_bare <file>         a bare CryptoAPI SHA-256 loop of the same read size
// Prints "key=value" lines: <way>_bytes, <way>_seconds, <way>_MBps, <way>_peak_working_set_MB,
// <way>_working_set_MB and <way>_pagefile_MB (working set and private bytes at the end), and
// <way>_cpu_seconds (CPU time of the thread that did the work).
#include "net/download/CWinHTTPEngine.h"
#include "net/download/DownloadJson.h"
#include "services/digest/VekSHA256.h"

#include <wincrypt.h>

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

// User and kernel time of the calling thread so far, which does all the work of a way (WinHTTP
// is synchronous here): on a busy machine a steadier measure than the wall clock.
double CpuSeconds()
{
    FILETIME created, exited, kernel, user;
    if (!GetThreadTimes(GetCurrentThread(), &created, &exited, &kernel, &user))
        return 0;
    auto seconds = [](const FILETIME& t) {
        return static_cast<double>((static_cast<std::uint64_t>(t.dwHighDateTime) << 32) | t.dwLowDateTime) / 1e7;
    };
    return seconds(kernel) + seconds(user);
}

double Megabytes(double bytes)
{
    return bytes / (1024.0 * 1024.0);
}

// Owner of a WinHTTP handle.
struct Handle {
    HINTERNET h = nullptr;
    explicit Handle(HINTERNET value) : h(value) {}
    ~Handle()
    {
        if (h != nullptr)
            WinHttpCloseHandle(h);
    }
    Handle(const Handle&) = delete;
    Handle& operator=(const Handle&) = delete;
};

// Bytes of the body written to the file; 0 when anything failed before the body. With no path:
// a HEAD only, the warm-up that matches the engine's size query (the first TLS connection of a
// process loads and sets up the TLS library, which neither timed way should pay).
std::uint64_t BareLoop(const std::wstring& url, const std::wstring& path)
{
    URL_COMPONENTS parts{};
    parts.dwStructSize = sizeof(parts);
    wchar_t host[256], object[2048];
    parts.lpszHostName = host;
    parts.dwHostNameLength = 256;
    parts.lpszUrlPath = object;
    parts.dwUrlPathLength = 2048;
    if (!WinHttpCrackUrl(url.c_str(), 0, 0, &parts))
        return 0;
    Handle session(WinHttpOpen(L"bench", WINHTTP_ACCESS_TYPE_NO_PROXY, nullptr, nullptr, 0));
    // The engine's client allows TLS 1.2 only: the bare loop too, so that both pay one protocol.
    DWORD protocols = WINHTTP_FLAG_SECURE_PROTOCOL_TLS1_2;
    if (session.h != nullptr)
        WinHttpSetOption(session.h, WINHTTP_OPTION_SECURE_PROTOCOLS, &protocols, sizeof(protocols));
    Handle connect(session.h ? WinHttpConnect(session.h, host, parts.nPort, 0) : nullptr);
    Handle request(connect.h ? WinHttpOpenRequest(connect.h, path.empty() ? L"HEAD" : L"GET", object, nullptr, nullptr,
                                                  nullptr, WINHTTP_FLAG_SECURE)
                             : nullptr);
    if (request.h == nullptr || !WinHttpSendRequest(request.h, nullptr, 0, nullptr, 0, 0, 0) ||
        !WinHttpReceiveResponse(request.h, nullptr) || path.empty())
        return 0;
    HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return 0;
    std::vector<unsigned char> buffer;
    std::uint64_t total = 0;
    for (;;) {
        DWORD available = 0;
        if (!WinHttpQueryDataAvailable(request.h, &available) || available == 0)
            break;
        if (available > buffer.size())
            buffer.resize(available);
        DWORD read = 0;
        if (!WinHttpReadData(request.h, buffer.data(), available, &read) || read == 0)
            break;
        DWORD written = 0;
        if (!WriteFile(file, buffer.data(), read, &written, nullptr) || written != read)
            break;
        total += read;
    }
    CloseHandle(file);
    return total;
}

// The launcher's digest reads 8 KiB at a time; the bare loop reads the same.
constexpr DWORD kDigestReadSize = 8192;

// SHA-256 of the file through CryptoAPI with nothing around it; bytes hashed, 0 on failure.
std::uint64_t BareDigest(const std::wstring& path, std::string& hex)
{
    HCRYPTPROV provider = 0;
    if (!CryptAcquireContextW(&provider, nullptr, nullptr, PROV_RSA_AES, CRYPT_VERIFYCONTEXT))
        return 0;
    HCRYPTHASH hash = 0;
    HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                              FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
    std::uint64_t total = 0;
    if (file != INVALID_HANDLE_VALUE && CryptCreateHash(provider, CALG_SHA_256, 0, 0, &hash)) {
        std::vector<BYTE> buffer(kDigestReadSize);
        DWORD read = 0;
        while (ReadFile(file, buffer.data(), kDigestReadSize, &read, nullptr) && read > 0 &&
               CryptHashData(hash, buffer.data(), read, 0))
            total += read;
        BYTE digest[32];
        DWORD size = sizeof(digest);
        if (CryptGetHashParam(hash, HP_HASHVAL, digest, &size, 0)) {
            static const char digits[] = "0123456789abcdef";
            for (BYTE b : digest) {
                hex += digits[b >> 4];
                hex += digits[b & 15];
            }
        }
        CryptDestroyHash(hash);
    }
    if (file != INVALID_HANDLE_VALUE)
        CloseHandle(file);
    CryptReleaseContext(provider, 0);
    return total;
}

std::uint64_t FileBytes(const std::wstring& path)
{
    WIN32_FILE_ATTRIBUTE_DATA data{};
    if (!GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data))
        return 0;
    return (static_cast<std::uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
}

// Read right after the transfer, before anything is printed, so that the figures are the transfer's.
PROCESS_MEMORY_COUNTERS_EX ReadMemory()
{
    PROCESS_MEMORY_COUNTERS_EX counters{};
    counters.cb = sizeof(counters);
    GetProcessMemoryInfo(GetCurrentProcess(), reinterpret_cast<PROCESS_MEMORY_COUNTERS*>(&counters), sizeof(counters));
    return counters;
}

// Wine fills the working set from the process's resident set (peak: its high-water mark) and the
// page-file usage from its resident anonymous memory.
void PrintMemory(const wchar_t* way, const PROCESS_MEMORY_COUNTERS_EX& counters)
{
    wprintf(L"%ls_peak_working_set_MB=%.1f\n", way, Megabytes(static_cast<double>(counters.PeakWorkingSetSize)));
    wprintf(L"%ls_working_set_MB=%.1f\n", way, Megabytes(static_cast<double>(counters.WorkingSetSize)));
    wprintf(L"%ls_pagefile_MB=%.1f\n", way, Megabytes(static_cast<double>(counters.PagefileUsage)));
}

void PrintTransfer(const wchar_t* way, std::uint64_t bytes, double seconds, double cpuSeconds)
{
    wprintf(L"%ls_cpu_seconds=%.3f\n", way, cpuSeconds);
    wprintf(L"%ls_bytes=%llu\n", way, static_cast<unsigned long long>(bytes));
    wprintf(L"%ls_seconds=%.3f\n", way, seconds);
    wprintf(L"%ls_MBps=%.1f\n", way, seconds > 0 ? Megabytes(static_cast<double>(bytes)) / seconds : 0.0);
}

} // namespace

int wmain(int argc, wchar_t** argv)
{
    const std::wstring way = argc > 1 ? argv[1] : L"";
    if (way == L"idle") {
        PrintMemory(L"idle", ReadMemory());
        return 0;
    }
    if ((way == L"sha" || way == L"sha_bare") && argc >= 3) {
        const std::wstring path = argv[2];
        std::string hex;
        std::uint64_t bytes = 0;
        const auto start = std::chrono::steady_clock::now();
        const double cpuStart = CpuSeconds();
        if (way == L"sha") {
            char text[64];
            if (SUCCEEDED(vek::security::CalculateSHA256ForFile(path.c_str(), text, sizeof(text)))) {
                hex.assign(text, sizeof(text));
                bytes = FileBytes(path);
            }
        } else {
            bytes = BareDigest(path, hex);
        }
        const double seconds = Seconds(start);
        PrintTransfer(way.c_str(), bytes, seconds, CpuSeconds() - cpuStart);
        wprintf(L"%ls_digest=%hs\n", way.c_str(), hex.c_str());
        return 0;
    }
    if ((way != L"engine" && way != L"bare") || argc < 4) {
        fwprintf(stderr, L"usage: DownloadBench idle | engine <url> <folder> | bare <url> <folder> | sha <file> | "
                         L"sha_bare <file>\n");
        return 2;
    }
    const std::wstring url = argv[2];
    const std::wstring target = std::wstring(argv[3]) + L"\\" + way + L".bin";

    std::uint64_t bytes = 0;
    double seconds = 0;
    double cpuSeconds = 0;
    HRESULT hr = S_OK;
    if (way == L"engine") {
        vek::CWinHTTPEngine engine(nullptr, nullptr);
        std::uint64_t size = 0;
        hr = engine.getDownloadSize(url, size);
        nlohmann::json record = {{"DownloadUri", vek::WideToUtf8(url)},
                                 {"LocalFilePath", vek::WideToUtf8(target)},
                                 {"BytesTotal", std::to_string(size)}};
        const auto start = std::chrono::steady_clock::now();
        const double cpuStart = CpuSeconds();
        if (SUCCEEDED(hr))
            hr = engine.download(record);
        seconds = Seconds(start);
        cpuSeconds = CpuSeconds() - cpuStart;
        WIN32_FILE_ATTRIBUTE_DATA data{};
        if (SUCCEEDED(hr) && GetFileAttributesExW(target.c_str(), GetFileExInfoStandard, &data))
            bytes = (static_cast<std::uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
    } else {
        BareLoop(url, std::wstring());
        const auto start = std::chrono::steady_clock::now();
        const double cpuStart = CpuSeconds();
        bytes = BareLoop(url, target);
        seconds = Seconds(start);
        cpuSeconds = CpuSeconds() - cpuStart;
    }
    const PROCESS_MEMORY_COUNTERS_EX counters = ReadMemory();
    if (way == L"engine")
        wprintf(L"engine_hr=0x%08lX\n", static_cast<unsigned long>(hr));
    PrintTransfer(way.c_str(), bytes, seconds, cpuSeconds);
    PrintMemory(way.c_str(), counters);
    DeleteFileW(target.c_str());
    return 0;
}
