#include "engine/mid/QuvMaster.h"
#include "common/base/qkTextCompare.h"

#include "engine/mid/QuvGlobal.h"
#include "engine/mid/QuvMidCodes.h"
#include "engine/mid/QuvOobeWaiter.h"

#include "common/base/qkWideFormat.h"
#include "common/errors/qkLog.h"
#include "common/objects/qkInstanceFactory.h"
#include "common/system/CIsolation.h"
#include "common/system/qkOSInfo.h"
#include "common/system/qkRegistry.h"
#include "common/system/qkResourceHolders.h"

#include <aclapi.h>
#include <objbase.h>
#include <rpc.h>
#include <sddl.h>

#include <cstdio>
#include <vector>

namespace {

constexpr wchar_t kKeyTemplate[] = L"SOFTWARE\\Vallor\\%PRODUCTISOLATION%\\Identifiers";
constexpr wchar_t kToken[] = L"%PRODUCTISOLATION%";
constexpr size_t kMaxHistory = 2048;
constexpr DWORD kStepEvent = 8875;

// The silo and identifier keys: SYSTEM and Administrators change them, users read them (the
// registry copy answers users who may not read the stamp file).
constexpr wchar_t kKeySddl[] = L"D:PAI(A;CI;KA;;;SY)(A;CI;KA;;;BA)(A;CI;KR;;;BU)";
// The vendor key keeps only what it inherits from SOFTWARE.
constexpr wchar_t kVendorKeySddl[] = L"D:AI";

// The event-report component that records failed steps; created by class id for each record.
const GUID kEventReportClass = {0x26394572, 0xA7A7, 0x4B7C, {0xAE, 0xE3, 0xD4, 0x88, 0x7A, 0x36, 0x26, 0x75}};
const GUID kEventReportInterface = {0xA2A781FF, 0x689D, 0x484E, {0xA6, 0xD6, 0x63, 0x6D, 0x29, 0x6F, 0x86, 0xFA}};

struct IQuvEventReport : public IUnknown {
    // Records the event with its named text fields (pairs of name and value).
    virtual HRESULT STDMETHODCALLTYPE ReportEvent(DWORD eventId, DWORD fieldCount, const wchar_t* const* names,
                                                  const wchar_t* const* values) = 0;
};

void RecordStep(const wchar_t* step, HRESULT result)
{
    if (result == S_OK)
        return;
    QK_LOG_WARNING(L"Machine identifier step %s gave 0x%08X", step, result);
    IInstanceFactory* factory = qkInstanceFactory::GetInstanceFactory();
    if (!factory)
        return;
    IQuvEventReport* report = nullptr;
    if (FAILED(factory->CreateInstance(kEventReportClass, kEventReportInterface, reinterpret_cast<void**>(&report))) ||
        !report)
        return;
    wchar_t code[16] = {};
    qkLib::FormatWide(code, 16, L"%X", static_cast<unsigned>(result));
    const wchar_t* names[] = {L"Z", L"Y"};
    const wchar_t* values[] = {code, step};
    report->ReportEvent(kStepEvent, 2, names, values);
    report->Release();
}

bool IsEmpty(const std::optional<std::wstring>& text)
{
    return !text || text->empty();
}

HRESULT RegistryResult(LONG status)
{
    if (status == ERROR_SUCCESS)
        return S_OK;
    if (status == ERROR_FILE_NOT_FOUND)
        return QUV_E_REG_NOT_FOUND;
    if (status == ERROR_ACCESS_DENIED)
        return QUV_E_REG_ACCESS_DENIED;
    return QuvHResultFromWin32(static_cast<DWORD>(status));
}

HRESULT Expand(const wchar_t* templ, std::wstring& path)
{
    std::wstring text = templ;
    const size_t at = text.find(kToken);
    if (at != std::wstring::npos) {
        const wchar_t* silo = CIsolation::GetSiloID();
        if (!silo || !*silo)
            return QUV_E_NO_SILO;
        text.replace(at, wcslen(kToken), silo);
    }
    path = text;
    return S_OK;
}

HRESULT MakeIdentifier(std::wstring& identifier)
{
    UUID uuid = {};
    const RPC_STATUS status = ::UuidCreate(&uuid);
    if (status != RPC_S_OK && status != RPC_S_UUID_LOCAL_ONLY && status != RPC_S_UUID_NO_ADDRESS)
        return QuvHResultFromWin32(static_cast<DWORD>(status));
    wchar_t text[37] = {};
    qkLib::FormatWide(text, 37, L"%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X", static_cast<unsigned>(uuid.Data1),
                      uuid.Data2, uuid.Data3, uuid.Data4[0], uuid.Data4[1], uuid.Data4[2], uuid.Data4[3], uuid.Data4[4],
                      uuid.Data4[5], uuid.Data4[6], uuid.Data4[7]);
    identifier = text;
    return S_OK;
}

// Sets the access list of a key through a handle opened for it (the handle keeps the registry
// view of the silo).
void SetKeyAcl(const std::wstring& path, const wchar_t* sddl, bool isProtected)
{
    qkLocalPtr<void> descriptor;
    if (!::ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl, SDDL_REVISION_1, descriptor.Receive(), nullptr))
        return;
    BOOL present = FALSE, defaulted = FALSE;
    PACL dacl = nullptr;
    if (!::GetSecurityDescriptorDacl(descriptor.Get(), &present, &dacl, &defaulted))
        return;
    HKEY raw = nullptr;
    const LONG opened = ::RegOpenKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0,
                                        WRITE_DAC | READ_CONTROL | CIsolation::GetRegistryViewFlags(), &raw);
    if (opened != ERROR_SUCCESS)
        return;
    qkRegKey key(raw);
    const SECURITY_INFORMATION info = DACL_SECURITY_INFORMATION | (isProtected ? PROTECTED_DACL_SECURITY_INFORMATION
                                                                               : UNPROTECTED_DACL_SECURITY_INFORMATION);
    const DWORD error = ::SetSecurityInfo(key.Get(), SE_REGISTRY_KEY, info, nullptr, nullptr, dacl, nullptr);
    if (error != ERROR_SUCCESS)
        QK_LOG_WARNING(L"Failed to set the access list of %s, error %lu", path.c_str(), error);
}

LONG WriteValue(const std::wstring& path, const std::wstring& value)
{
    HKEY raw = nullptr;
    LONG status = ::RegCreateKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, 0,
                                    KEY_WRITE | CIsolation::GetRegistryViewFlags(), nullptr, &raw, nullptr);
    if (status != ERROR_SUCCESS)
        return status;
    qkRegKey key(raw);
    return ::RegSetValueExW(key.Get(), L"MID", 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                            static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t)));
}

} // namespace

namespace QuvMaster {

std::wstring BuildHistory(const std::wstring& oldHistory, const std::wstring& oldId, const std::wstring& sourceName,
                          const wchar_t* reason)
{
    std::wstring history;
    if (oldHistory.size() > kMaxHistory) {
        // Cut from the front by whole characters, so that a surrogate pair is never split.
        const wchar_t* p = oldHistory.c_str();
        const wchar_t* end = p + oldHistory.size();
        while (static_cast<size_t>(end - p) > kMaxHistory)
            p = ::CharNextW(p);
        history = L"~";
        history.append(p, end);
        history += L'|';
    } else if (!oldHistory.empty()) {
        history = oldHistory + L"|";
    }
    if (!oldId.empty())
        history += oldId + L"|";
    history += sourceName + L"|" + reason;
    return history;
}

HRESULT RegistryKeyPath(std::wstring& path)
{
    return Expand(kKeyTemplate, path);
}

HRESULT ReadRegistryMid(std::wstring& value)
{
    value.clear();
    std::wstring path;
    HRESULT hr = RegistryKeyPath(path);
    if (FAILED(hr))
        return hr;
    HKEY raw = nullptr;
    LONG status =
        ::RegOpenKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_READ | CIsolation::GetRegistryViewFlags(), &raw);
    if (status != ERROR_SUCCESS)
        return RegistryResult(status);
    qkRegKey key(raw);
    DWORD type = 0, size = 0;
    status = ::RegQueryValueExW(key.Get(), L"MID", nullptr, &type, nullptr, &size);
    if (status != ERROR_SUCCESS)
        return RegistryResult(status);
    if (type != REG_SZ)
        return QUV_E_REG_MID_TYPE;
    if (size % sizeof(wchar_t))
        return QUV_E_REG_ODD_SIZE;
    if (size > 0x10000)
        return QUV_E_REG_SIZE_OVERFLOW;
    std::vector<wchar_t> buffer(size / sizeof(wchar_t) + 1, L'\0');
    DWORD got = size;
    status = ::RegQueryValueExW(key.Get(), L"MID", nullptr, &type, reinterpret_cast<BYTE*>(buffer.data()), &got);
    if (status == ERROR_MORE_DATA)
        return QUV_E_REG_MORE_DATA;
    if (status != ERROR_SUCCESS)
        return RegistryResult(status);
    if (type != REG_SZ)
        return QUV_E_REG_MID_TYPE;
    buffer[got / sizeof(wchar_t)] = L'\0';
    value = buffer.data();
    return S_OK;
}

HRESULT WriteRegistryMid(const std::wstring& value)
{
    std::wstring path;
    HRESULT hr = RegistryKeyPath(path);
    if (FAILED(hr))
        return hr;
    hr = RegistryResult(WriteValue(path, value));
    if (hr == QUV_E_REG_ACCESS_DENIED) {
        // A key whose access list was changed: give the keys their access lists back, then try
        // once more.
        static const wchar_t* const kKeys[] = {L"SOFTWARE\\Vallor", L"SOFTWARE\\Vallor\\%PRODUCTISOLATION%",
                                               kKeyTemplate};
        for (const wchar_t* templ : kKeys) {
            std::wstring keyPath;
            if (FAILED(Expand(templ, keyPath)))
                continue;
            const bool vendor = templ == kKeys[0];
            SetKeyAcl(keyPath, vendor ? kVendorKeySddl : kKeySddl, !vendor);
            qkRegistry key;
            key.Create(HKEY_LOCAL_MACHINE, keyPath.c_str(), KEY_ALL_ACCESS | CIsolation::GetRegistryViewFlags());
            key.Close();
            SetKeyAcl(keyPath, vendor ? kVendorKeySddl : kKeySddl, !vendor);
        }
        hr = RegistryResult(WriteValue(path, value));
    }
    if (SUCCEEDED(hr)) {
        std::wstring siloPath;
        if (SUCCEEDED(Expand(L"SOFTWARE\\Vallor\\%PRODUCTISOLATION%", siloPath)))
            SetKeyAcl(siloPath, kKeySddl, true);
        SetKeyAcl(path, kKeySddl, true);
    }
    return hr;
}

HRESULT CheckAndUpdate(QuvIdentitySource& source, HRESULT getValueResult, const std::wstring& currentValue,
                       QuvStampState& state, HRESULT& registryResult)
{
    registryResult = 1;
    HRESULT hr = QuvGlobal::Lock(state);
    if (SUCCEEDED(hr))
        hr = QuvGlobal::Read(state);
    RecordStep(L"MMI_LRINI", hr);
    if (FAILED(hr))
        return hr;

    const QuvStampSection& midSection = state.sections[QuvStampState::Mid];
    const QuvStampSection& stampSection = state.sections[QuvStampState::Stamp];
    const std::wstring mid = midSection.value.value_or(L"");
    const std::wstring midx = midSection.xref.value_or(L"");
    const wchar_t* reason = nullptr;
    bool badMid = false;
    bool restamp = false;

    if (midSection.value) {
        const std::wstring braced = L"{" + mid + L"}";
        CLSID clsid;
        const HRESULT parsed = ::CLSIDFromString(braced.c_str(), &clsid);
        if (FAILED(parsed)) {
            RecordStep(L"MMI_CLSIDCHK", parsed);
            reason = L"BadMID";
            badMid = true;
        }
    }

    std::wstring merged;
    bool hasMerged = false;
    if (mid.empty() && midx.empty()) {
        reason = L"MID";
        restamp = true;
    } else if (mid.empty()) {
        reason = L"MIDV";
        restamp = true;
    } else if (midx.empty()) {
        reason = L"MIDX";
        restamp = true;
    } else if (IsEmpty(stampSection.value) && IsEmpty(stampSection.xref)) {
        restamp = true;
    } else if (IsEmpty(stampSection.value)) {
        reason = L"StampV";
        restamp = true;
    } else if (IsEmpty(stampSection.xref)) {
        reason = L"StampX";
        restamp = true;
    } else if (!qkLib::EqualsOrdinalNoCase(*stampSection.xref, mid)) {
        restamp = true;
    } else {
        HRESULT compared = getValueResult;
        if (SUCCEEDED(getValueResult))
            compared = source.Compare(currentValue, *stampSection.value, merged, hasMerged);
        restamp = badMid || compared == 1;
        RecordStep(L"MMI_CS", compared);
    }

    if (hasMerged) {
        QuvGlobal::SetStamp(state, merged, mid);
        hr = QuvGlobal::Write(state);
        RecordStep(L"MMI_SMIDS", hr);
        if (FAILED(hr))
            return hr;
    }

    if (reason) {
        std::wstring identifier;
        hr = MakeIdentifier(identifier);
        if (SUCCEEDED(hr)) {
            QuvGlobal::SetMid(state, identifier, BuildHistory(midx, mid, source.GetName(), reason));
            hr = QuvGlobal::Write(state);
        }
        RecordStep(L"MMI_UMID", hr);
        if (FAILED(hr))
            return hr;
    }

    if (restamp) {
        hr = getValueResult;
        if (SUCCEEDED(getValueResult)) {
            QuvGlobal::SetStamp(state, currentValue, state.sections[QuvStampState::Mid].value.value_or(L""));
            hr = QuvGlobal::Write(state);
        }
        RecordStep(L"MMI_UMIDS", hr);
        if (FAILED(hr))
            return hr;
    }

    const std::wstring current = state.sections[QuvStampState::Mid].value.value_or(L"");
    std::wstring stored;
    if (SUCCEEDED(ReadRegistryMid(stored)) && qkLib::EqualsOrdinalNoCase(stored, current))
        registryResult = S_OK;
    else
        registryResult = WriteRegistryMid(current);
    return S_OK;
}

HRESULT GetMachineId(QuvIdentitySource& source, std::wstring& identifier, bool& hasIdentifier, const Options& options)
{
    identifier.clear();
    hasIdentifier = false;
    {
        QuvOobeWaiter waiter(options.oobeStrategy ? options.oobeStrategy() : nullptr);
        if (waiter.IsOobeInProgress()) {
            QK_LOG_INFO(L"First-run setup of Windows is in progress: no machine identifier yet");
            return QUV_S_OOBE_IN_PROGRESS;
        }
    }

    std::wstring current;
    const HRESULT getValueResult = source.GetValue(current);

    QuvStampState state;
    state.sourceName = source.GetName();
    state.folderOverride = options.folderOverride;
    HRESULT registryResult = 1;
    HRESULT hr = CheckAndUpdate(source, getValueResult, current, state, registryResult);
    QuvGlobal::Unlock(state);
    if (FAILED(hr))
        return hr;
    if (FAILED(registryResult)) {
        qkOSInfo os;
        BOOL notEnabled = FALSE;
        if (os.GetAdminGroupState(&notEnabled) && !notEnabled) {
            QK_LOG_ERROR(L"Failed to store the machine identifier in the registry, hr=0x%08X", registryResult);
            return registryResult;
        }
    }
    identifier = state.sections[QuvStampState::Mid].value.value_or(L"");
    hasIdentifier = true;
    return S_OK;
}

} // namespace QuvMaster
