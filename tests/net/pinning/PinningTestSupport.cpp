#include "PinningTestSupport.h"

#include "common/base/qkWideFormat.h"
#include "common/objects/qkInstanceFactory.h"
#include "common/objects/qkTalCountedObject.h"
#include "common/system/qkPathExpansion.h"
#include "net/http/Jux_PinningTelemetry.h"
#include "net/http/Jux_ResultCodes.h"
#include "net/http/Jux_SettingsFactory.h"
#include "settings/ISettingsStore.h"
#include "settings/manager/qkSettingsModule.h"
#include "tests/support/CreateProcessRetrying.h"

#include <gtest/gtest.h>
#include <wincrypt.h>
#include <wrl/client.h>

#include <filesystem>
#include <fstream>
#include <mutex>
#include <sstream>

using Microsoft::WRL::ComPtr;

namespace pintest {
namespace {

std::mutex g_dataDirLock;
std::wstring g_dataDir;

BOOL ResolveDataDir(const wchar_t* name, std::wstring& value)
{
    if (_wcsicmp(name, L"datadir") != 0)
        return FALSE;
    std::lock_guard<std::mutex> lock(g_dataDirLock);
    if (g_dataDir.empty())
        return FALSE;
    value = g_dataDir;
    return TRUE;
}

HRESULT StandaloneFactory(qkSettings::ISettingsMgr** manager)
{
    const HRESULT code = qkSettings::CreateStandaloneSettingsMgr(manager);
    return Jux::HResultFromResultCode(static_cast<std::uint32_t>(code));
}

ComPtr<qkSettings::ISettingsMgr> OpenStore(const std::wstring& path, DWORD flags)
{
    qkSettings::ModuleAddRef();
    ComPtr<qkSettings::ISettingsMgr> manager;
    if (FAILED(StandaloneFactory(manager.GetAddressOf())) || !manager)
        return nullptr;
    if (static_cast<HRESULT>(manager->Open(path.c_str(), flags, nullptr)) < 0)
        return nullptr;
    return manager;
}

std::mutex g_telemetryLock;
std::vector<TelemetryEvent> g_telemetry;

class RecordingTelemetry : public qkTalCountedObject, public Jux::IPinningTelemetry {
public:
    QK_TAL_UNKNOWN_IMPL()
    HRESULT STDMETHODCALLTYPE SubmitEvent(DWORD eventId, DWORD resultCode, DWORD constant1, DWORD constant2,
                                          DWORD count, const wchar_t* const* names,
                                          const wchar_t* const* values) override
    {
        TelemetryEvent event{eventId, resultCode, constant1, constant2, {}};
        for (DWORD i = 0; i < count; ++i)
            event.pairs.emplace_back(names[i], values[i]);
        std::lock_guard<std::mutex> lock(g_telemetryLock);
        g_telemetry.push_back(std::move(event));
        return S_OK;
    }

protected:
    void* GetInterface(REFIID iid) override
    {
        if (IsEqualGUID(iid, Jux::IID_IPinningTelemetry) || IsEqualGUID(iid, IID_IUnknown))
            return static_cast<Jux::IPinningTelemetry*>(this);
        return nullptr;
    }
};

IUnknown* STDAPICALLTYPE CreateRecordingTelemetry()
{
    auto* object = new RecordingTelemetry();
    object->AddRef();
    return static_cast<Jux::IPinningTelemetry*>(object);
}

std::vector<BYTE> DerOfPem(const std::wstring& path)
{
    std::ifstream file(std::filesystem::path(path), std::ios::binary);
    std::stringstream text;
    text << file.rdbuf();
    const std::string pem = text.str();
    DWORD size = 0;
    if (!CryptStringToBinaryA(pem.c_str(), static_cast<DWORD>(pem.size()), CRYPT_STRING_BASE64HEADER, nullptr, &size,
                              nullptr, nullptr))
        return {};
    std::vector<BYTE> der(size);
    CryptStringToBinaryA(pem.c_str(), static_cast<DWORD>(pem.size()), CRYPT_STRING_BASE64HEADER, der.data(), &size,
                         nullptr, nullptr);
    der.resize(size);
    return der;
}

} // namespace

void WriteStore(const std::wstring& path, const StoreSections& sections)
{
    auto manager = OpenStore(path, qkSettings::openflag::kCreateNew);
    ASSERT_TRUE(manager) << "cannot create the store";
    for (const auto& [section, values] : sections) {
        ComPtr<qkSettings::ISettings> settings;
        ASSERT_GE(manager->GetSettings(section.c_str(), settings.GetAddressOf()), 0);
        for (const auto& [name, value] : values) {
            if (value.number) {
                ASSERT_GE(settings->SetDword(name.c_str(), *value.number), 0);
            }
            if (value.wide) {
                ASSERT_GE(settings->SetQword(name.c_str(), *value.wide), 0);
            }
            if (value.text) {
                ASSERT_GE(settings->SetString(name.c_str(), value.text->c_str()), 0);
            }
        }
        ASSERT_GE(manager->PutSettings(settings.Get()), 0);
    }
    manager->Close();
}

StoreSections SectionsOf(const ClientSettingsSpec& spec)
{
    StoreSections sections;
    auto number = [](DWORD v) { return StoreValue{v, std::nullopt, std::nullopt}; };
    if (spec.mode)
        sections[L"Policies"][L"Mode"] = number(*spec.mode);
    if (spec.rootCheckMode)
        sections[L"Policies"][L"RootCheckMode"] = number(*spec.rootCheckMode);
    auto list = [&sections](const wchar_t* section, const std::optional<std::vector<std::wstring>>& values) {
        if (!values)
            return;
        auto& target = sections[section];
        // An empty section still exists: a placeholder value is written and removed again below.
        for (size_t i = 0; i < values->size(); ++i)
            target[L"entry" + std::to_wstring(i)] = StoreValue{std::nullopt, std::nullopt, (*values)[i]};
    };
    list(L"Pins", spec.pins);
    list(L"WellKnownRoots", spec.wellKnownRoots);
    list(L"WhiteList", spec.whiteList);
    if (spec.dataVersion)
        sections[L"Telemetry"][L"DataVersion"] = number(*spec.dataVersion);
    if (spec.maxPings)
        sections[L"Telemetry"][L"MaxPingsForDailyPeriod"] = number(*spec.maxPings);
    const wchar_t* counters = L"Dynamic\\JuxClient\\HTTPClient";
    if (spec.pingCount)
        sections[counters][L"CurrentDailyPingCount"] = number(*spec.pingCount);
    if (spec.lastInitPingTime)
        sections[counters][L"LastInitPingTime"] = StoreValue{std::nullopt, *spec.lastInitPingTime, std::nullopt};
    return sections;
}

void SetDataDir(const std::wstring& folder)
{
    {
        std::lock_guard<std::mutex> lock(g_dataDirLock);
        g_dataDir = folder;
    }
    qkPathExpansion::SetTokenResolver(&ResolveDataDir);
}

DataDir::DataDir(const char* testName)
{
    const std::string narrow(testName);
    const std::wstring name(narrow.begin(), narrow.end());
    wchar_t temp[MAX_PATH];
    GetTempPathW(MAX_PATH, temp);
    m_path = std::wstring(temp) + L"vekpin-" + name + L"-" + std::to_wstring(GetCurrentProcessId());
    CreateDirectoryW(m_path.c_str(), nullptr);
    CreateDirectoryW((m_path + L"\\http").c_str(), nullptr);
    DeleteFileW(ClientFile().c_str());
    SetDataDir(m_path);
}

DataDir::~DataDir()
{
    for (const wchar_t* suffix : {L"", L".log", L".bak", L"._bak"})
        DeleteFileW((ClientFile() + suffix).c_str());
    RemoveDirectoryW((m_path + L"\\http").c_str());
    RemoveDirectoryW(m_path.c_str());
}

void DataDir::Write(const ClientSettingsSpec& spec) const
{
    StoreSections sections = SectionsOf(spec);
    WriteStore(ClientFile(), sections);
    // Lists given empty are sections without values: made with one value, which then goes.
    auto manager = OpenStore(ClientFile(), 0);
    ASSERT_TRUE(manager);
    for (auto [section, values] : {std::pair{L"Pins", &spec.pins}, std::pair{L"WellKnownRoots", &spec.wellKnownRoots},
                                   std::pair{L"WhiteList", &spec.whiteList}}) {
        if (!*values || !(*values)->empty())
            continue;
        ComPtr<qkSettings::ISettings> settings;
        ASSERT_GE(manager->GetSettings(section, settings.GetAddressOf()), 0);
        ASSERT_GE(settings->SetString(L"placeholder", L"x"), 0);
        ASSERT_GE(manager->PutSettings(settings.Get()), 0);
        ASSERT_GE(settings->DeleteValue(L"placeholder"), 0);
        ASSERT_GE(manager->PutSettings(settings.Get()), 0);
    }
    manager->Close();
}

void EnsureSettingsFactory()
{
    static std::once_flag once;
    std::call_once(once, [] {
        qkSettings::ModuleAddRef();
        Jux::RegisterSettingsFactory(&StandaloneFactory);
    });
}

std::optional<DWORD> ReadDword(const std::wstring& path, const wchar_t* section, const wchar_t* name)
{
    auto manager = OpenStore(path, qkSettings::openflag::kReadOnly);
    ComPtr<qkSettings::ISettings> settings;
    DWORD value = 0;
    if (!manager || manager->OpenSettings(section, settings.GetAddressOf()) < 0 || settings->GetDword(name, &value) < 0)
        return std::nullopt;
    manager->Close();
    return value;
}

std::optional<std::uint64_t> ReadQword(const std::wstring& path, const wchar_t* section, const wchar_t* name)
{
    auto manager = OpenStore(path, qkSettings::openflag::kReadOnly);
    ComPtr<qkSettings::ISettings> settings;
    ULONGLONG value = 0;
    if (!manager || manager->OpenSettings(section, settings.GetAddressOf()) < 0 || settings->GetQword(name, &value) < 0)
        return std::nullopt;
    manager->Close();
    return value;
}

std::wstring TelemetryEvent::Value(const wchar_t* name) const
{
    for (const auto& pair : pairs)
        if (pair.first == name)
            return pair.second;
    return L"<absent>";
}

void EnsureRecordingTelemetry()
{
    static std::once_flag once;
    std::call_once(once, [] {
        IInstanceFactory* factory = qkInstanceFactory::GetInstanceFactory();
        ASSERT_NE(nullptr, factory);
        factory->RegisterCreator(Jux::CLSID_PinningTelemetry, &CreateRecordingTelemetry);
    });
}

std::vector<TelemetryEvent> TakeTelemetry()
{
    std::lock_guard<std::mutex> lock(g_telemetryLock);
    std::vector<TelemetryEvent> taken;
    taken.swap(g_telemetry);
    return taken;
}

std::wstring ThumbprintOfPem(const std::wstring& path)
{
    const std::vector<BYTE> der = DerOfPem(path);
    BYTE hash[20];
    DWORD size = sizeof hash;
    if (der.empty() || !CryptHashCertificate(0, CALG_SHA1, 0, der.data(), static_cast<DWORD>(der.size()), hash, &size))
        return L"";
    std::wstring text;
    wchar_t digits[3];
    for (DWORD i = 0; i < size; ++i) {
        qkLib::FormatWide(digits, 3, L"%02X", hash[i]);
        text += digits;
    }
    return text;
}

std::wstring DisplayNameOfPem(const std::wstring& path)
{
    const std::vector<BYTE> der = DerOfPem(path);
    PCCERT_CONTEXT cert =
        der.empty() ? nullptr
                    : CertCreateCertificateContext(X509_ASN_ENCODING, der.data(), static_cast<DWORD>(der.size()));
    if (!cert)
        return L"";
    wchar_t name[256] = {};
    CertGetNameStringW(cert, CERT_NAME_SIMPLE_DISPLAY_TYPE, 0, nullptr, name, 256);
    CertFreeCertificateContext(cert);
    return name;
}

std::wstring Env(const wchar_t* name)
{
    wchar_t value[1024];
    const DWORD size = GetEnvironmentVariableW(name, value, 1024);
    return size > 0 && size < 1024 ? std::wstring(value, size) : L"";
}

DWORD RunChild(const std::string& testName, const std::map<std::wstring, std::wstring>& environment)
{
    wchar_t self[MAX_PATH];
    GetModuleFileNameW(nullptr, self, MAX_PATH);
    std::wstring command = L"\"" + std::wstring(self) + L"\" --gtest_also_run_disabled_tests --gtest_filter=" +
                           std::wstring(testName.begin(), testName.end());
    for (const auto& [name, value] : environment)
        SetEnvironmentVariableW(name.c_str(), value.c_str());
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process{};
    const BOOL started =
        vek::test::CreateProcessRetrying(self, command.data(), FALSE, 0, nullptr, &startup, &process);
    for (const auto& entry : environment)
        SetEnvironmentVariableW(entry.first.c_str(), nullptr);
    if (!started)
        return 0xFFFFFFFF;
    WaitForSingleObject(process.hProcess, 60000);
    DWORD code = 0xFFFFFFFF;
    GetExitCodeProcess(process.hProcess, &code);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    return code;
}

} // namespace pintest
