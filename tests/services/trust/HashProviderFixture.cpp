// A stand-in for the external hash provider DLL ("RavelCli.dll"), signed and unsigned by the
// signing fixtures. Its answers come from this process's environment, read at each call:
//   VEK_RAVEL_OWN   the provider's own "vtresult" in hexadecimal (default 3), or "none"
//   VEK_RAVEL_TYPE  the type of every "vtresult" (default 1)
//   VEK_RAVEL_FILE  the "vtresult" of every file record in hexadecimal (default 0)
#include <windows.h>

#include <atomic>
#include <cwchar>
#include <string>

#include "common/objects/IObjectFactory.h"
#include "services/trust/IHashProvider.h"

namespace {

std::atomic<LONG> g_objects{0};

std::wstring Environment(const wchar_t* name, const wchar_t* fallback)
{
    wchar_t value[64];
    const DWORD n = GetEnvironmentVariableW(name, value, 64);
    return n > 0 && n < 64 ? std::wstring(value, n) : std::wstring(fallback);
}

DWORD Hex(const std::wstring& text)
{
    return static_cast<DWORD>(std::wcstoul(text.c_str(), nullptr, 16));
}

// The common reference counting of the stand-in's objects.
template <class Base>
class Counted : public Base {
public:
    Counted() { ++g_objects; }
    virtual ~Counted() { --g_objects; }
    ULONG STDMETHODCALLTYPE AddRef() override { return ++m_refs; }
    ULONG STDMETHODCALLTYPE Release() override
    {
        const ULONG left = --m_refs;
        if (left == 0)
            delete this;
        return left;
    }

private:
    std::atomic<ULONG> m_refs{1};
};

// The provider (no record) and the records (own or of a file) alike.
class Provider : public Counted<IHashProvider> {
public:
    enum class Kind { Provider, OwnRecord, FileRecord };
    explicit Provider(Kind kind) : m_kind(kind) {}

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override
    {
        if (!out)
            return E_POINTER;
        *out = nullptr;
        if (!IsEqualGUID(iid, IID_IUnknown) && !IsEqualGUID(iid, IID_IHashProvider))
            return E_NOINTERFACE;
        AddRef();
        *out = static_cast<IHashProvider*>(this);
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE GetProperty(const wchar_t* name, HANDLE file, IHashProvider** property) override
    {
        if (!property)
            return E_POINTER;
        *property = nullptr;
        if (m_kind != Kind::Provider || !name || std::wcscmp(name, L"qkHashProvider") != 0)
            return E_INVALIDARG;
        if (!file && Environment(L"VEK_RAVEL_OWN", L"3") == L"none")
            return E_FAIL;
        *property = new Provider(file ? Kind::FileRecord : Kind::OwnRecord);
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE GetValue(const wchar_t* name, DWORD* type, DWORD* value) override
    {
        if (!type || !value)
            return E_POINTER;
        if (m_kind == Kind::Provider || !name || std::wcscmp(name, L"vtresult") != 0)
            return E_INVALIDARG;
        *type = Hex(Environment(L"VEK_RAVEL_TYPE", L"1"));
        *value =
            Hex(m_kind == Kind::OwnRecord ? Environment(L"VEK_RAVEL_OWN", L"3") : Environment(L"VEK_RAVEL_FILE", L"0"));
        return S_OK;
    }

private:
    Kind m_kind;
};

class Factory : public Counted<IObjectFactory> {
public:
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override
    {
        if (!out)
            return E_POINTER;
        *out = nullptr;
        if (!IsEqualGUID(iid, IID_IUnknown) && !IsEqualGUID(iid, IID_IObjectFactory))
            return E_NOINTERFACE;
        AddRef();
        *out = static_cast<IObjectFactory*>(this);
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE CreateInstance(REFIID iid, void** object) override
    {
        if (!object)
            return E_POINTER;
        Provider* provider = new Provider(Provider::Kind::Provider);
        const HRESULT hr = provider->QueryInterface(iid, object);
        provider->Release();
        return hr;
    }
};

} // namespace

extern "C" HRESULT STDAPICALLTYPE GetFactory(REFGUID objectId, IObjectFactory** factory)
{
    if (!factory)
        return E_POINTER;
    *factory = nullptr;
    if (!IsEqualGUID(objectId, CLSID_HashProvider))
        return CLASS_E_CLASSNOTAVAILABLE;
    *factory = new Factory();
    return S_OK;
}

extern "C" LONG STDAPICALLTYPE GetObjectCount()
{
    return g_objects;
}
