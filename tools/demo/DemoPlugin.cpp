// The demo product's installation plug-in, built against the plug-in SDK only. Start copies every
// file of the job's "file_array" ("destination_file", where the launcher downloaded it) into the
// job's "demo_install_folder", on a thread of its own, and writes "install.log" there. GetStatus
// reports running until the copy ends, then finished or failed.
#include <windows.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>

#include <nlohmann/json.hpp>

#include "engine/plugin/sdk/VekPluginExports.h"
#include "engine/plugin/sdk/VekPluginInterfaces.h"

namespace {

using namespace vek::plugin;

std::atomic<LONG> g_objects{0};

std::wstring Widen(const std::string& text)
{
    if (text.empty()) {
        return {};
    }
    const int size = MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    std::wstring wide(static_cast<size_t>(size), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), wide.data(), size);
    return wide;
}

std::string Narrow(const std::wstring& text)
{
    if (text.empty()) {
        return {};
    }
    const int size = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0,
                                         nullptr, nullptr);
    std::string narrow(static_cast<size_t>(size), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), narrow.data(), size, nullptr,
                        nullptr);
    return narrow;
}

std::wstring FileName(const std::wstring& path)
{
    const auto slash = path.find_last_of(L"\\/");
    return slash == std::wstring::npos ? path : path.substr(slash + 1);
}

// Copies the job's files; the result is the status GetStatus reports afterwards.
int32_t Install(const std::wstring& jobText, HRESULT& error)
{
    const auto job = nlohmann::json::parse(Narrow(jobText), nullptr, false);
    if (!job.is_object()) {
        error = E_INVALIDARG;
        return ePluginFailed;
    }
    const std::wstring folder = Widen(job.value("demo_install_folder", std::string()));
    if (folder.empty()) {
        error = E_INVALIDARG;
        return ePluginFailed;
    }
    // The install folder with every missing parent.
    std::error_code created;
    std::filesystem::create_directories(folder, created);
    std::ofstream log(Narrow(folder + L"\\install.log"), std::ios::app);
    const auto files = job.find("file_array");
    if (files == job.end() || !files->is_array()) {
        log << "no file_array in the job\n";
        error = E_INVALIDARG;
        return ePluginFailed;
    }
    for (const auto& file : *files) {
        const std::wstring source = Widen(file.value("destination_file", std::string()));
        const std::wstring target = folder + L"\\" + FileName(source);
        if (!CopyFileW(source.c_str(), target.c_str(), FALSE)) {
            error = HRESULT_FROM_WIN32(GetLastError());
            log << "copy failed: " << Narrow(source) << " error " << GetLastError() << "\n";
            return ePluginFailed;
        }
        log << "installed " << Narrow(target) << "\n";
    }
    log << "installation finished\n";
    return ePluginFinished;
}

template <class Interface>
class Counted : public Interface {
public:
    Counted() { ++g_objects; }
    virtual ~Counted() { --g_objects; }
    ULONG STDMETHODCALLTYPE AddRef() override { return ++m_refs; }
    ULONG STDMETHODCALLTYPE Release() override
    {
        const ULONG refs = --m_refs;
        if (refs == 0) {
            delete this;
        }
        return refs;
    }

protected:
    HRESULT Query(REFIID iid, REFIID own, void** object)
    {
        if (!object) {
            return E_POINTER;
        }
        if (iid == IID_IUnknown || iid == own) {
            *object = this;
            AddRef();
            return S_OK;
        }
        *object = nullptr;
        return E_NOINTERFACE;
    }

private:
    std::atomic<ULONG> m_refs{1};
};

class Plugin final : public Counted<IVekPlugin2> {
public:
    ~Plugin() override
    {
        if (m_worker.joinable()) {
            m_worker.join();
        }
    }
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override
    {
        return Query(iid, IID_IVekPlugin2, object);
    }
    HRESULT STDMETHODCALLTYPE GetErrorCode() override { return m_error.load(); }
    HRESULT STDMETHODCALLTYPE Reserved() override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetStatus(int32_t* status) override
    {
        if (!status) {
            return E_POINTER;
        }
        *status = m_status.load();
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE Stop() override { return S_OK; }
    HRESULT STDMETHODCALLTYPE Start(const wchar_t* jobJson, IVekPluginCallback*) override
    {
        if (!jobJson || m_worker.joinable()) {
            return E_INVALIDARG;
        }
        m_status = ePluginRunning;
        m_worker = std::thread([this, job = std::wstring(jobJson)] {
            HRESULT error = S_OK;
            const int32_t status = Install(job, error);
            m_error = error;
            m_status = status;
        });
        return S_OK;
    }

private:
    std::atomic<int32_t> m_status{ePluginNotStarted};
    std::atomic<HRESULT> m_error{S_OK};
    std::thread m_worker;
};

class Factory final : public Counted<IObjectFactory> {
public:
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override
    {
        return Query(iid, IID_IObjectFactory, object);
    }
    HRESULT STDMETHODCALLTYPE CreateInstance(REFIID iid, void** object) override
    {
        if (!object) {
            return E_POINTER;
        }
        auto* created = new Plugin;
        const HRESULT hr = created->QueryInterface(iid, object);
        created->Release();
        return hr;
    }
};

} // namespace

extern "C" HRESULT STDAPICALLTYPE GetFactory(REFGUID classId, IObjectFactory** factory)
{
    if (!factory) {
        return E_POINTER;
    }
    *factory = nullptr;
    if (classId != CLSID_VekPlugin2) {
        return CLASS_E_CLASSNOTAVAILABLE;
    }
    *factory = new Factory;
    return S_OK;
}

extern "C" LONG STDAPICALLTYPE GetObjectCount()
{
    return g_objects.load();
}
