// A test plug-in built against the plug-in SDK only. It serves both plug-in classes and answers as
// the script file next to it says ("<dll path>.script", written by the test), one command a line:
//   status N          what GetStatus reports (default 3)
//   error 0xHHHHHHHH  what GetErrorCode reports (default 0)
//   start 0xHHHHHHHH  what Start and Archive return (default 0)
//   event N           Start fires this job event through the callback (in file order)
//   onerror 0xHHHHHHHH text   Start reports this error with the rest of the line as error data
//   running N         GetStatus answers 2 (running) N times after Start before the scripted status;
//                     N = -1: until Stop is called
// Start also writes the job text it received to "<dll path>.job"; the object writes the number of
// Stop calls it received to "<dll path>.stops" when it is released. Built with
// SCRIPTED_PLUGIN_FOREIGN_CLASS it serves neither plug-in class, as a DLL of someone else would.
#include <windows.h>

#include <atomic>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "engine/plugin/sdk/VekPluginExports.h"
#include "engine/plugin/sdk/VekPluginInterfaces.h"

namespace {

using namespace vek::plugin;

std::atomic<LONG> g_objects{0};
HMODULE g_module = nullptr;

struct Script {
    int32_t status = ePluginFinished;
    HRESULT error = S_OK;
    HRESULT start = S_OK;
    int running = 0;
    struct Call {
        bool isError;
        int32_t value;
        std::wstring data;
    };
    std::vector<Call> calls;
};

std::wstring ModulePath()
{
    wchar_t path[MAX_PATH] = {};
    GetModuleFileNameW(g_module, path, MAX_PATH);
    return path;
}

Script ReadScript()
{
    Script script;
    std::wifstream in((ModulePath() + L".script").c_str());
    std::wstring line;
    while (std::getline(in, line)) {
        std::wistringstream words(line);
        std::wstring command;
        std::wstring value;
        words >> command >> value;
        const auto number = static_cast<int32_t>(std::stoul(value.empty() ? L"0" : value, nullptr, 0));
        if (command == L"status") {
            script.status = std::stoi(value, nullptr, 0);
        } else if (command == L"error") {
            script.error = number;
        } else if (command == L"start") {
            script.start = number;
        } else if (command == L"running") {
            script.running = std::stoi(value, nullptr, 0);
        } else if (command == L"event") {
            script.calls.push_back({false, std::stoi(value, nullptr, 0), {}});
        } else if (command == L"onerror") {
            std::wstring rest;
            std::getline(words >> std::ws, rest);
            script.calls.push_back({true, number, rest});
        }
    }
    return script;
}

void WriteJob(const wchar_t* jobJson)
{
    std::wofstream out((ModulePath() + L".job").c_str());
    out << (jobJson ? jobJson : L"");
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
        if (m_started) {
            std::ofstream out((ModulePath() + L".stops").c_str());
            out << m_stops.load();
        }
    }
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override
    {
        return Query(iid, IID_IVekPlugin2, object);
    }
    HRESULT STDMETHODCALLTYPE GetErrorCode() override { return m_script.error; }
    HRESULT STDMETHODCALLTYPE Reserved() override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetStatus(int32_t* status) override
    {
        if (!status) {
            return E_POINTER;
        }
        if (!m_started) {
            *status = ePluginNotStarted;
        } else if (m_script.running < 0 ? m_stops == 0 : m_polls++ < m_script.running) {
            *status = ePluginRunning;
        } else {
            *status = m_script.status;
        }
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE Stop() override
    {
        ++m_stops;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE Start(const wchar_t* jobJson, IVekPluginCallback* callback) override
    {
        m_script = ReadScript();
        WriteJob(jobJson);
        if (callback) {
            for (const auto& call : m_script.calls) {
                if (call.isError) {
                    callback->OnError(call.value, call.data.empty() ? nullptr : call.data.c_str());
                } else {
                    callback->OnEvent(call.value);
                }
            }
        }
        m_started = SUCCEEDED(m_script.start);
        return m_script.start;
    }

private:
    Script m_script;
    bool m_started = false;
    int m_polls = 0;
    std::atomic<int> m_stops{0};
};

class Archiver final : public Counted<IVekArchive> {
public:
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override
    {
        return Query(iid, IID_IVekArchive, object);
    }
    HRESULT STDMETHODCALLTYPE Archive(const wchar_t* jobJson, IVekArchiveCallback* callback) override
    {
        const Script script = ReadScript();
        WriteJob(jobJson);
        if (callback) {
            callback->OnStatus(1);
        }
        return script.start;
    }
};

class Factory final : public Counted<IObjectFactory> {
public:
    explicit Factory(const GUID& classId) : m_classId(classId) {}
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override
    {
        return Query(iid, IID_IObjectFactory, object);
    }
    HRESULT STDMETHODCALLTYPE CreateInstance(REFIID iid, void** object) override
    {
        if (!object) {
            return E_POINTER;
        }
        *object = nullptr;
        IUnknown* created = nullptr;
        if (m_classId != CLSID_VekArchive) {
            created = new Plugin;
        } else {
            created = new Archiver;
        }
        const HRESULT hr = created->QueryInterface(iid, object);
        created->Release();
        return hr;
    }

private:
    GUID m_classId;
};

} // namespace

extern "C" HRESULT STDAPICALLTYPE GetFactory(REFGUID classId, IObjectFactory** factory)
{
    if (!factory) {
        return E_POINTER;
    }
    *factory = nullptr;
#ifdef SCRIPTED_PLUGIN_FOREIGN_CLASS
    // {6A1F0B55-3C2D-4E8F-9A71-0B2C3D4E5F60}
    constexpr GUID kForeignClass = {0x6A1F0B55, 0x3C2D, 0x4E8F, {0x9A, 0x71, 0x0B, 0x2C, 0x3D, 0x4E, 0x5F, 0x60}};
    const bool served = classId == kForeignClass;
#else
    const bool served = classId == CLSID_VekPlugin2 || classId == CLSID_VekArchive;
#endif
    if (!served) {
        return CLASS_E_CLASSNOTAVAILABLE;
    }
    *factory = new Factory(classId);
    return S_OK;
}

extern "C" LONG STDAPICALLTYPE GetObjectCount()
{
    return g_objects.load();
}

BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID)
{
    if (reason == DLL_PROCESS_ATTACH) {
        g_module = instance;
        DisableThreadLibraryCalls(instance);
    }
    return TRUE;
}
