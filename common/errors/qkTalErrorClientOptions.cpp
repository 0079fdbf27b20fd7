#include "common/errors/qkTalErrorClientOptions.h"

#include "common/base/qkExceptionInfo.h"
#include "common/base/qkTrace.h"
#include "common/errors/qkOptionReader.h"
#include "common/system/CIsolation.h"
#include "common/system/qkRegistry.h"

namespace {

const wchar_t kErrorClientKey[] = L"Keel Core\\Debug\\ErrorClient";

// A flag read into a local with the given preset: absent or not a REG_DWORD gives the preset.
bool ReadFlag(qkRegistry& key, const wchar_t* name, DWORD preset)
{
    DWORD value = preset;
    key.GetDWORDValue(name, value);
    return value != 0;
}

} // namespace

void qkTalErrorClientOptions::Reset()
{
    ProductName.clear();
    ProductVersion.clear();
    Directory.clear();
    LogLogicalFailures = false;
    DumpOnLogicalFailure = false;
    DumpType = 0;
    CallbackOnLogicalFailure = false;
    LogicalFailureCallback.clear();
}

bool qkTalErrorClientOptions::Load()
{
    Reset();
    std::wstring path;
    if (!qkOptionReader::SiloKeyPath(kErrorClientKey, path)) {
        return false;
    }
    return LoadFromKey(path.c_str());
}

bool qkTalErrorClientOptions::LoadFromKey(const wchar_t* keyPath)
{
    qkExceptionInfo info;
    try {
        return LoadFromKeyGuarded(keyPath);
    } catch (...) {
        info.CatchCurrent(L"qkTalErrorClientOptions", __LINE__);
    }
    QK_TRACE(L"%s", info.GetFullText());
    return false;
}

bool qkTalErrorClientOptions::LoadFromKeyGuarded(const wchar_t* keyPath)
{
    Reset();
    if (keyPath == nullptr) {
        return false;
    }
    qkRegistry key;
    if (!key.Open(HKEY_LOCAL_MACHINE, keyPath, KEY_READ | CIsolation::GetRegistryViewFlags())) {
        return true; // no key: error reporting stays off
    }
    qkOptionReader::ReadString(key, L"ProductName", ProductName);
    qkOptionReader::ReadString(key, L"ProductVersion", ProductVersion);
    qkOptionReader::ReadString(key, L"Directory", Directory);
    qkOptionReader::ReadString(key, L"LogicalFailureCallback", LogicalFailureCallback);
    key.GetDWORDValue(L"DumpType", DumpType);
    CallbackOnLogicalFailure = ReadFlag(key, L"CallbackOnLogicalFailure", 0);
    DumpOnLogicalFailure = ReadFlag(key, L"DumpOnLogicalFailure", 0);
    // A present key switches reporting on unless the value says otherwise.
    LogLogicalFailures = ReadFlag(key, L"LogLogicalFailures", 1);
    return true;
}
