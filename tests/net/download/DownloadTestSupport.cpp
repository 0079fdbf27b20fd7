#include "DownloadTestSupport.h"

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
    m_path = std::wstring(temp) + L"vekdl-" + vek::Utf8ToWide(name) + L"-" + std::to_wstring(::GetCurrentProcessId())
             + L"-" + std::to_wstring(::GetTickCount64());
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

HRESULT TestHooks::ValidateFile(const std::wstring& path, const nlohmann::json& validation, DWORD& error)
{
    error = 0;
    if (!validation.is_object() || !validation["data"].is_string())
        return E_FAIL;
    std::uint64_t size = 0;
    WIN32_FILE_ATTRIBUTE_DATA data{};
    if (!::GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data))
        return HRESULT_FROM_WIN32(::GetLastError());
    size = (static_cast<std::uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
    return std::to_string(size) == validation["data"].get<std::string>() ? S_OK : E_FAIL;
}

DWORD TestHooks::UpdateFileFailureCount(nlohmann::json&, const std::wstring& fileName)
{
    return ++counts[fileName];
}

void TestHooks::logJobError(HRESULT result, int errorType, nlohmann::json&, const std::wstring& text, int priority,
                            DWORD failureCount)
{
    wchar_t line[64];
    swprintf(line, 64, L"0x%08X/%d/%d/%lu ", static_cast<unsigned>(result), errorType, priority, failureCount);
    reports.push_back(line + text);
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
        if (entry["method"] == method)
            out.push_back(entry);
    return out;
}

} // namespace dltest
