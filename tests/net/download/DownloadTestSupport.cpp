#include "DownloadTestSupport.h"

#include "common/base/qkWideFormat.h"
#include "net/download/DownloadJson.h"

#include <windows.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <map>

namespace dltest {

ScratchDir::ScratchDir(const std::string& name)
{
    wchar_t temp[MAX_PATH];
    ::GetTempPathW(MAX_PATH, temp);
    m_path = std::wstring(temp) + L"vekdl-" + vek::Utf8ToWide(name) + L"-" + std::to_wstring(::GetCurrentProcessId()) +
             L"-" + std::to_wstring(::GetTickCount64());
    ::CreateDirectoryW(m_path.c_str(), nullptr);
}

ScratchDir::ScratchDir(const std::string& name, const std::wstring& root)
{
    m_path = root + L"\\vekdl-" + vek::Utf8ToWide(name) + L"-" + std::to_wstring(::GetCurrentProcessId()) + L"-" +
             std::to_wstring(::GetTickCount64());
    ::CreateDirectoryW(m_path.c_str(), nullptr);
}

ScratchDir::~ScratchDir()
{
    WIN32_FIND_DATAW data;
    HANDLE find = ::FindFirstFileW((m_path + L"\\*").c_str(), &data);
    if (find != INVALID_HANDLE_VALUE) {
        do {
            std::wstring name = data.cFileName;
            if (name != L"." && name != L"..") {
                ::SetFileAttributesW(File(name).c_str(), FILE_ATTRIBUTE_NORMAL);
                ::DeleteFileW(File(name).c_str());
            }
        } while (::FindNextFileW(find, &data));
        ::FindClose(find);
    }
    ::RemoveDirectoryW(m_path.c_str());
}

size_t ScratchDir::CountFiles() const
{
    size_t n = 0;
    WIN32_FIND_DATAW data;
    HANDLE find = ::FindFirstFileW((m_path + L"\\*").c_str(), &data);
    if (find == INVALID_HANDLE_VALUE)
        return 0;
    do {
        std::wstring name = data.cFileName;
        if (name != L"." && name != L"..")
            ++n;
    } while (::FindNextFileW(find, &data));
    ::FindClose(find);
    return n;
}

std::string ReadFileBytes(const std::wstring& path)
{
    std::ifstream in(path.c_str(), std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

bool FileExists(const std::wstring& path)
{
    return ::GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

nlohmann::json LoadProxyVectors()
{
    const char* path = std::getenv("VEK_PROXY_VECTORS");
    if (path == nullptr)
        return {};
    std::ifstream in(std::string("Z:") + path);
    return nlohmann::json::parse(in, nullptr, false);
}

void TestHooks::logJobError(HRESULT result, int errorType, nlohmann::json&, const std::wstring& text, int priority,
                            std::uint32_t failureCount)
{
    wchar_t line[64];
    qkLib::FormatWide(line, 64, L"0x%08X/%d/%d/%u ", static_cast<unsigned>(result), errorType, priority, failureCount);
    reports.push_back(line + text);
}

FailureCounts::FailureCounts(const std::string& jobId)
    : m_manifestId(L"{dl-counts-" + vek::Utf8ToWide(jobId) + L"}"),
      m_manifestKey(L"Software\\Vallor\\Vek\\" + m_manifestId),
      m_jobKey(m_manifestKey + L"\\" + vek::Utf8ToWide(jobId))
{}

FailureCounts::~FailureCounts()
{
    ::RegDeleteTreeW(HKEY_CURRENT_USER, m_manifestKey.c_str());
}

long long FailureCounts::Get(const std::wstring& fileName) const
{
    DWORD value = 0, size = sizeof(value);
    if (::RegGetValueW(HKEY_CURRENT_USER, (m_jobKey + L"\\file_array").c_str(), fileName.c_str(), RRF_RT_REG_DWORD,
                       nullptr, &value, &size) != ERROR_SUCCESS)
        return -1;
    return value;
}

void EventLog::Connect(vek::CWinHTTPDownloadManager& manager)
{
    manager.Events().connect([this](int event) {
        std::lock_guard<std::mutex> lock(m_lock);
        m_events.push_back(event);
        m_changed.notify_all();
    });
}

std::vector<int> EventLog::Events()
{
    std::lock_guard<std::mutex> lock(m_lock);
    return m_events;
}

bool EventLog::WaitFor(int event, int seconds)
{
    std::unique_lock<std::mutex> lock(m_lock);
    return m_changed.wait_for(lock, std::chrono::seconds(seconds), [&] {
        for (int e : m_events)
            if (e == event)
                return true;
        return false;
    });
}

std::vector<nlohmann::json> Requests(const std::string& prefix, const std::string& method)
{
    std::vector<nlohmann::json> out;
    for (const nlohmann::json& entry : vek::test::TestServer::Instance().Log(prefix))
        if (entry.value("method", std::string()) == method)
            out.push_back(entry);
    return out;
}

} // namespace dltest
