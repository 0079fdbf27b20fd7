#include "common/errors/qkTalDebugOptions.h"

#include "common/base/qkDebugOutput.h"
#include "common/base/qkExceptionInfo.h"
#include "common/base/qkStringConvert.h"
#include "common/base/qkTrace.h"
#include "common/errors/qkOptionReader.h"
#include "common/system/CIsolation.h"
#include "common/system/qkRegistry.h"

namespace {

const wchar_t kDebugKey[] = L"Keel Core\\Debug";
const wchar_t kCrashHandlerKey[] = L"CrashHandler";
const wchar_t kDebugOutputKey[] = L"DebugOutput";
const wchar_t kModulesKey[] = L"Modules";
// RegEnumValueW gets this many characters for a name, terminator included.
const DWORD kModuleNameChars = 260;

wchar_t AsciiLower(wchar_t c)
{
    return (c >= L'A' && c <= L'Z') ? static_cast<wchar_t>(c - L'A' + L'a') : c;
}

// Reads a REG_DWORD into the field; a missing value or one of another type leaves it alone.
void ReadDword(qkRegistry& key, const wchar_t* name, DWORD& field)
{
    key.GetDWORDValue(name, field);
}

} // namespace

bool qkTalDebugOptions::AsciiNoCaseLess::operator()(const std::wstring& left, const std::wstring& right) const
{
    const size_t n = left.size() < right.size() ? left.size() : right.size();
    for (size_t i = 0; i < n; ++i) {
        const wchar_t a = AsciiLower(left[i]);
        const wchar_t b = AsciiLower(right[i]);
        if (a != b) {
            return a < b;
        }
    }
    return left.size() < right.size();
}

qkTalDebugOptions::qkTalDebugOptions()
{
    Reset();
}

void qkTalDebugOptions::Reset()
{
    DebugType = 0;
    Directory.clear();
    OutputToDebugger = 1;
    OutputToFile = 0;
    AppendProcessIdToFile = 1;
    PrependThreadId = 1;
    PrependProcessId = 1;
    PrependDateTime = 1;
    PrependModuleName = 1;
    AppendNewLine = 1;
    PrependType = 1;
    ExclusiveModules = 0;
    Modules.clear();

    DumpOnNew = 0;
    TerminateOnNew = 0;
    ThrowOnNew = 1;
    DumpOnException = 0;
    TerminateOnException = 0;
    DumpOnPurecall = 0;
    TerminateOnPurecall = 0;
    DumpOnSecurity = 0;
    TerminateOnSecurity = 0;
    DumpOnInvalidParameter = 0;
    TerminateOnInvalidParameter = 0;
    CrashDirectory.clear();
    DumpType = 0x22; // full memory plus unloaded modules
    AppendDateTimeToFile = 1;
    AppendVersionToFile = 1;
    CallbackEnabled = 0;
    CallbackPath.clear();
}

bool qkTalDebugOptions::Load()
{
    std::wstring base;
    if (!qkOptionReader::SiloKeyPath(kDebugKey, base)) {
        return false;
    }
    return LoadFromKey(base.c_str());
}

bool qkTalDebugOptions::LoadFromKey(const wchar_t* basePath)
{
    qkExceptionInfo info;
    try {
        return LoadFromKeyGuarded(basePath);
    } catch (...) {
        info.CatchCurrent(L"qkTalDebugOptions", __LINE__);
    }
    QK_TRACE(L"%s", info.GetFullText());
    return false;
}

bool qkTalDebugOptions::LoadFromKeyGuarded(const wchar_t* basePath)
{
    Reset();
    if (basePath == nullptr) {
        return false;
    }
    std::wstring crashPath;
    std::wstring outputPath;
    if (!qkStringConvert::Format(crashPath, L"%s\\%s", basePath, kCrashHandlerKey) ||
        !qkStringConvert::Format(outputPath, L"%s\\%s", basePath, kDebugOutputKey)) {
        return false;
    }
    const REGSAM access = KEY_READ | CIsolation::GetRegistryViewFlags();

    qkRegistry crash;
    if (crash.Open(HKEY_LOCAL_MACHINE, crashPath.c_str(), access)) {
        ReadDword(crash, L"DumpOnNew", DumpOnNew);
        ReadDword(crash, L"TerminateOnNew", TerminateOnNew);
        ReadDword(crash, L"ThrowOnNew", ThrowOnNew);
        ReadDword(crash, L"DumpOnException", DumpOnException);
        ReadDword(crash, L"TerminateOnException", TerminateOnException);
        ReadDword(crash, L"DumpOnPurecall", DumpOnPurecall);
        ReadDword(crash, L"TerminateOnPurecall", TerminateOnPurecall);
        ReadDword(crash, L"DumpOnSecurity", DumpOnSecurity);
        ReadDword(crash, L"TerminateOnSecurity", TerminateOnSecurity);
        ReadDword(crash, L"DumpOnInvalidParameter", DumpOnInvalidParameter);
        ReadDword(crash, L"TerminateOnInvalidParameter", TerminateOnInvalidParameter);
        qkOptionReader::ReadString(crash, L"Directory", CrashDirectory);
        ReadDword(crash, L"DumpType", DumpType);
        ReadDword(crash, L"AppendDateTimeToFile", AppendDateTimeToFile);
        ReadDword(crash, L"AppendVersionToFile", AppendVersionToFile);
        ReadDword(crash, L"CallbackEnabled", CallbackEnabled);
        qkOptionReader::ReadString(crash, L"CallbackPath", CallbackPath);
    }

    qkRegistry output;
    if (!output.Open(HKEY_LOCAL_MACHINE, outputPath.c_str(), access)) {
        return true; // no logger options: the defaults hold
    }
    ReadDword(output, L"DebugType", DebugType);
    qkOptionReader::ReadString(output, L"Directory", Directory);
    ReadDword(output, L"OutputToDebugger", OutputToDebugger);
    ReadDword(output, L"OutputToFile", OutputToFile);
    ReadDword(output, L"AppendProcessIdToFile", AppendProcessIdToFile);
    ReadDword(output, L"PrependThreadId", PrependThreadId);
    ReadDword(output, L"PrependProcessId", PrependProcessId);
    ReadDword(output, L"PrependDateTime", PrependDateTime);
    ReadDword(output, L"PrependModuleName", PrependModuleName);
    ReadDword(output, L"AppendNewLine", AppendNewLine);
    ReadDword(output, L"PrependType", PrependType);
    ReadDword(output, L"ExclusiveModules", ExclusiveModules);
    return LoadModules(output.GetKey(), access);
}

bool qkTalDebugOptions::LoadModules(HKEY debugOutputKey, REGSAM access)
{
    qkRegistry modules;
    if (!modules.Open(debugOutputKey, kModulesKey, access)) {
        return true; // no module list
    }
    for (DWORD index = 0;; ++index) {
        wchar_t name[kModuleNameChars];
        DWORD length = kModuleNameChars;
        const LONG status = modules.EnumValue(index, name, &length);
        if (status == ERROR_NO_MORE_ITEMS) {
            return true;
        }
        if (status != ERROR_SUCCESS) {
            // 234 for a name of 260 characters or more: the list is not read further.
            QK_TRACE(L"RegEnumValueW %lu : %ld", index, status);
            return false;
        }
        DWORD value = 0;
        if (!modules.GetDWORDValue(name, value)) {
            QK_TRACE(L"module switch %s is not a REG_DWORD : %lu", name, modules.GetLastError());
            continue;
        }
        Modules.insert_or_assign(std::wstring(name, length), value);
    }
}

bool qkTalDebugOptions::ApplyTo(qkDebugOutput& logger) const
{
    // Each setter runs the logger's Initialize first (a no-op after the first time).
    logger.SetDebugType(static_cast<LONG>(DebugType));
    logger.SetOutputToDebugger(OutputToDebugger != 0);
    logger.SetOutputToFile(OutputToFile != 0);
    logger.SetAppendProcessIdToFile(AppendProcessIdToFile != 0);
    logger.SetPrependThreadId(PrependThreadId != 0);
    logger.SetPrependProcessId(PrependProcessId != 0);
    logger.SetPrependDateTime(PrependDateTime != 0);
    logger.SetPrependModuleName(PrependModuleName != 0);
    logger.SetPrependType(PrependType != 0);
    logger.SetAppendNewLine(AppendNewLine != 0);
    if (!Directory.empty() && !logger.SetDirectory(Directory.c_str())) {
        return false;
    }

    qkExceptionInfo info;
    try {
        if (IsModuleSilenced(logger.GetModuleName())) {
            logger.SetDebugType(0);
        }
    } catch (...) {
        info.CatchCurrent(L"qkTalDebugOptions", __LINE__);
        return false;
    }
    return true;
}

bool qkTalDebugOptions::IsModuleSilenced(const std::wstring& moduleName) const
{
    // With ExclusiveModules only listed modules log; a listed module with switch 0 is silenced
    // either way.
    const auto found = Modules.find(moduleName);
    if (found != Modules.end()) {
        return found->second == 0;
    }
    return ExclusiveModules != 0 && !Modules.empty();
}
