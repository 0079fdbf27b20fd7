#include "services/launcher/VekUtil.h"
#include "common/base/qkLastError.h"
#include "common/base/qkMultiByte.h"

#include "common/base/qkCrc32.h"
#include "common/base/qkExceptionInfo.h"
#include "common/base/qkWideFormat.h"
#include "common/errors/qkLog.h"
#include "common/system/qkFolderTrust.h"
#include "common/system/qkHandle.h"
#include "common/system/qkOSInfo.h"
#include "common/system/qkResourceHolders.h"
#include "common/system/qkRegistry.h"
#include "services/launcher/VekRegistryNames.h"
#include "services/package/Tolk_FilePackerEx.h"
#include "common/base/qkTextCompare.h"

#include <objbase.h>
#include <sddl.h>
#include <shlobj.h>
#include <shellapi.h>
#include <shlwapi.h>

#include <array>
#include <memory>
#include <stdexcept>
#include <new>

namespace vek {

namespace {

// The data folder's name for the process; start-up replaces it once, before worker threads exist.
std::wstring& DataFolderName()
{
    static std::wstring name = L"Vallor";
    return name;
}

const wchar_t* const ProductKey = kVekRegistryKey;

// A member as text, or empty when it is missing or not text (a missing member reads as null).
std::string MemberText(const nlohmann::json& node, const char* name)
{
    if (!node.is_object()) {
        return {};
    }
    const auto it = node.find(name);
    return it != node.end() && it->is_string() ? it->get<std::string>() : std::string();
}

const nlohmann::json* Member(const nlohmann::json& node, const char* name)
{
    if (!node.is_object()) {
        return nullptr;
    }
    const auto it = node.find(name);
    return it != node.end() ? &*it : nullptr;
}

// "vek"."global"."manifest_id" as text; empty when missing or not text.
std::wstring ManifestIdOf(const nlohmann::json& document)
{
    const nlohmann::json* root = Member(document, "vek");
    const nlohmann::json* global = root ? Member(*root, "global") : nullptr;
    return FromUtf8(global ? MemberText(*global, "manifest_id") : std::string());
}

nlohmann::json ParseObject(const std::string& text, HRESULT& hr)
{
    nlohmann::json document = nlohmann::json::parse(text, nullptr, false, true);
    hr = document.is_discarded() || !document.is_object() ? VEK_E_JSON_NOT_PARSED : S_OK;
    return document;
}

} // namespace

// ---------------------------------------------------------------------------------------------
// Files

HRESULT CheckFileExists(const wchar_t* path)
{
    if (path == nullptr || *path == L'\0') {
        return E_INVALIDARG;
    }
    std::wstring full;
    try {
        full = path;
        if (full.size() >= 2 && full[0] != L'\\' && full[1] != L'\\') {
            full.insert(0, L"\\\\?\\");
        }
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    }
    return ::GetFileAttributesW(full.c_str()) != INVALID_FILE_ATTRIBUTES ? S_OK : VEK_E_FILE_NOT_FOUND;
}

HRESULT GetFileSize(const wchar_t* path, uint64_t& size)
{
    if (path == nullptr || *path == L'\0') {
        QK_LOG_ERROR(L"filePath or *filePath == NULL");
        return E_INVALIDARG;
    }
    qkHandle file(::CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
    if (!file.IsValid()) {
        return qkLib::LastErrorResult(E_UNEXPECTED);
    }
    LARGE_INTEGER li{};
    if (!::GetFileSizeEx(file.Get(), &li)) {
        return qkLib::LastErrorResult(E_UNEXPECTED);
    }
    size = static_cast<uint64_t>(li.QuadPart);
    return S_OK;
}

// ---------------------------------------------------------------------------------------------
// Manifest and state file

HRESULT GetManifestData(const wchar_t* launcherPath, std::vector<uint8_t>& data)
{
    data.clear();
    Tolk::CFilePackerEx packer; // closed on every way out
    HRESULT hr = packer.Open(launcherPath);
    if (FAILED(hr)) {
        QK_LOG_ERROR(L"filePacker.Open, failed hr=0x%08X", hr);
        return hr;
    }
    std::shared_ptr<Tolk::CFileStream> stream;
    uint32_t offset = 0, size = 0;
    hr = packer.ExtractStream(stream, offset, size);
    if (FAILED(hr)) {
        QK_LOG_ERROR(L"filePacker.ExtractStream, failed hr=0x%08X", hr);
        return VEK_E_MANIFEST_NOT_IN_PACKAGE;
    }
    try {
        data.resize(size);
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    }
    if (!stream->SetPosition(offset)) {
        QK_LOG_ERROR(L"stream set position failed %d", ::GetLastError());
        data.clear();
        return stream->GetLastErrorResult();
    }
    if (size != 0) {
        hr = stream->ReadExact(data.data(), size);
        if (FAILED(hr)) {
            QK_LOG_ERROR(L"stream read failed %d", ::GetLastError());
            data.clear();
            return hr;
        }
    }
    return S_OK;
}

int DetectByteOrderMark(const uint8_t* b, size_t n)
{
    if (b == nullptr) {
        return -1;
    }
    if (n >= 3 && b[0] == 0xEF && b[1] == 0xBB && b[2] == 0xBF) {
        return 0;
    }
    if (n >= 2 && b[0] == 0xFE && b[1] == 0xFF) {
        return 1;
    }
    // Tested before the four-byte form: FF FE 00 00 reports UTF-16 little-endian.
    if (n >= 2 && b[0] == 0xFF && b[1] == 0xFE) {
        return 2;
    }
    if (n >= 4 && b[0] == 0x00 && b[1] == 0x00 && b[2] == 0xFE && b[3] == 0xFF) {
        return 3;
    }
    return -1;
}

HRESULT LoadManifest(const wchar_t* launcherPath, nlohmann::json& document)
{
    if (launcherPath == nullptr || *launcherPath == L'\0') {
        return E_INVALIDARG;
    }
    qkExceptionInfo info;
    try {
        std::vector<uint8_t> data;
        HRESULT hr = GetManifestData(launcherPath, data);
        if (FAILED(hr)) {
            return hr;
        }
        size_t skip = 0;
        switch (DetectByteOrderMark(data.data(), data.size())) {
        case -1:
            break;
        case 0:
            skip = 3;
            break;
        default:
            QK_LOG_ERROR(L"The manifest is not UTF-8 text");
            return VEK_E_MANIFEST_NOT_UTF8;
        }
        const std::string text(data.begin() + static_cast<std::ptrdiff_t>(skip), data.end());
        HRESULT parsed = S_OK;
        nlohmann::json parsedDocument = ParseObject(text, parsed);
        if (FAILED(parsed)) {
            QK_LOG_ERROR(L"Failed to parse the manifest");
            return parsed;
        }
        document = std::move(parsedDocument);
        return hr;
    }
    QK_CATCH(info)
    QK_LOG_ERROR(L"%ls", info.GetFullText());
    return E_OUTOFMEMORY;
}

std::wstring WriteStateJsonText(const nlohmann::json& vekMember)
{
    // The compact writer: one line, sorted keys, then a line feed. Invalid UTF-8 is replaced
    // rather than thrown, so that saving and checking always agree.
    return FromUtf8(vekMember.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace) + "\n");
}

HRESULT CheckStateCrc(const nlohmann::json& document)
{
    const nlohmann::json* vekMember = Member(document, "vek");
    const nlohmann::json* crcMember = Member(document, "crc");
    const nlohmann::json null;
    const std::wstring text = WriteStateJsonText(vekMember ? *vekMember : null);
    uint32_t expected = 0;
    if (crcMember && crcMember->is_number_unsigned()) {
        expected = crcMember->get<uint32_t>();
    } else if (crcMember && crcMember->is_number_integer()) {
        expected = static_cast<uint32_t>(crcMember->get<int64_t>());
    } else {
        return VEK_E_STATE_CRC_MISMATCH;
    }
    // The saver's CRC-32 covers all bytes of the UTF-16 text; state files saved when it covered
    // only the first half of them (as many bytes as the text has characters) load as well.
    const size_t bytes = text.size() * sizeof(wchar_t);
    if (bytes > 0xFFFFFFFFu) {
        return VEK_E_STATE_CRC_MISMATCH;
    }
    if (qkLib::Crc32(text.data(), static_cast<DWORD>(bytes)) == expected ||
        qkLib::Crc32(text.data(), static_cast<DWORD>(text.size())) == expected) {
        return S_OK;
    }
    return VEK_E_STATE_CRC_MISMATCH;
}

HRESULT LoadJsonFile(const wchar_t* path, nlohmann::json& document)
{
    if (path == nullptr) {
        return E_INVALIDARG;
    }
    qkHandle file(::CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
    if (!file.IsValid()) {
        return VEK_E_STATE_FILE_MISSING;
    }
    return LoadOpenJsonFile(file.Get(), document);
}

HRESULT LoadOpenJsonFile(HANDLE file, nlohmann::json& document)
{
    try {
        LARGE_INTEGER size{};
        if (!::GetFileSizeEx(file, &size) || size.QuadPart == 0) {
            return VEK_E_STATE_FILE_MISSING;
        }
        if (size.QuadPart > 0x7FFFFFFF) {
            return VEK_E_STATE_FILE_NOT_READ;
        }
        std::string text(static_cast<size_t>(size.QuadPart), '\0');
        DWORD read = 0;
        if (!::ReadFile(file, text.data(), static_cast<DWORD>(text.size()), &read, nullptr) || read != text.size()) {
            return VEK_E_STATE_FILE_NOT_READ;
        }
        HRESULT hr = S_OK;
        nlohmann::json parsed = ParseObject(text, hr);
        if (FAILED(hr)) {
            return hr;
        }
        document = std::move(parsed);
        return CheckStateCrc(document);
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    }
}

// ---------------------------------------------------------------------------------------------
// Manifest-driven lookups

HKEY GetRegistryContext(const nlohmann::json& document)
{
    const nlohmann::json* root = Member(document, "vek");
    const nlohmann::json* bootstrap = root ? Member(*root, "bootstrap") : nullptr;
    const nlohmann::json* options = bootstrap ? Member(*bootstrap, "options") : nullptr;
    const std::string context = options ? MemberText(*options, "reg_context") : std::string();
    return qkLib::EqualsAsciiNoCase(context, "HKLM") ? HKEY_LOCAL_MACHINE : HKEY_CURRENT_USER;
}

bool IsDownloadAccepted(const nlohmann::json& document)
{
    const std::wstring id = ManifestIdOf(document);
    const std::wstring path = std::wstring(ProductKey) + L"\\" + id;
    DWORD value = 0;
    return ReadDownloadAccepted(GetRegistryContext(document), path.c_str(), value) && value != 0;
}

bool ReadDownloadAccepted(HKEY root, const wchar_t* keyPath, DWORD& value)
{
    qkRegistry key;
    return key.Open(root, keyPath, KEY_READ) && key.GetDWORDValue(kDownloadAcceptedValue, value);
}

int32_t GetFilePriority(const wchar_t* fileName, const nlohmann::json& job)
{
    const nlohmann::json* files = Member(job, "file_array");
    if (fileName == nullptr || *fileName == L'\0' || files == nullptr || !files->is_array()) {
        QK_LOG_ERROR(L"GetFilePriority() invalid input");
        return 0;
    }
    const std::string name = ToUtf8(fileName);
    for (const auto& entry : *files) {
        std::string candidate = MemberText(entry, "source_file");
        if (candidate.empty()) {
            candidate = MemberText(entry, "destination_file");
        }
        if (candidate != name) {
            continue;
        }
        const nlohmann::json* priority = Member(entry, "file_priority");
        if (priority == nullptr || priority->is_null()) {
            return 0;
        }
        try {
            if (!priority->is_number()) {
                throw std::runtime_error("file_priority is not a number");
            }
            return priority->get<int32_t>();
        } catch (const std::exception&) {
            QK_LOG_ERROR(L"GetFilePriority Caught std::exception");
            return 0;
        }
    }
    return 0;
}

std::wstring FailureCountValueName(const std::wstring& source)
{
    const std::wstring name = source.substr(0, source.find_first_of(L"?#"));
    const size_t slash = name.find_last_of(L"/\\");
    return slash == std::wstring::npos ? name : name.substr(slash + 1);
}

uint32_t UpdateFileFailureCount(const nlohmann::json& document, const nlohmann::json& job, const wchar_t* fileName)
{
    const std::string jobId = MemberText(job, "job_id");
    if (jobId.empty() || fileName == nullptr) {
        return 0;
    }
    const std::wstring manifestId = ManifestIdOf(document);
    if (manifestId.empty()) {
        // Without an id the count would stand outside every manifest's key, where no clean-up finds it.
        QK_LOG_ERROR(L"No manifest id: failure count of %s not kept", fileName);
        return 0;
    }
    const std::wstring path =
        std::wstring(ProductKey) + L"\\" + manifestId + L"\\" + FromUtf8(jobId) + L"\\file_array";
    const REGSAM access = 0x2001F; // KEY_READ | KEY_WRITE
    // Opened, or created when missing (a new key holds no count yet).
    qkRegistry key;
    uint32_t count = 0;
    if (key.Open(GetRegistryContext(document), path.c_str(), access, TRUE)) {
        DWORD value = 0;
        if (key.GetDWORDValue(fileName, value)) {
            count = value + 1;
        }
    }
    if (!key.IsOpen() || !key.SetDWORDValue(fileName, count)) {
        QK_LOG_ERROR(L"jobKey.SetNumber() failed to set %ls to %d", kFailureCountValue, count);
    }
    return count;
}

bool GetInstallerFileEntry(const nlohmann::json& job, nlohmann::json& entry)
{
    const nlohmann::json* files = Member(job, "file_array");
    if (files == nullptr || !files->is_array()) {
        return false;
    }
    for (const auto& file : *files) {
        if (MemberText(file, "type") == "job_installer") {
            entry = file;
            return true;
        }
    }
    return false;
}

// ---------------------------------------------------------------------------------------------
// Environment

namespace util {

HRESULT FormatUserAgentString(std::wstring& userAgent)
{
    // The library's cached system version (RtlGetVersion: true whatever the executable's manifest).
    qkOSInfo::Initialize();
    const RTL_OSVERSIONINFOEXW& version = qkOSInfo::GetVersionInfo();
    wchar_t text[128];
    const int n = qkLib::FormatWide(text, sizeof(text) / sizeof(text[0]), L"TALV-Remediation (%ls %d.%d)",
                                    version.dwPlatformId == VER_PLATFORM_WIN32_NT ? L"Windows NT" : L"Windows",
                                    static_cast<int>(version.dwMajorVersion), static_cast<int>(version.dwMinorVersion));
    try {
        if (n < 0) {
            throw std::bad_alloc();
        }
        userAgent.assign(text, static_cast<size_t>(n));
    } catch (const std::bad_alloc&) {
        QK_LOG_ERROR(L"CStringConvert::Format failed on: %ls", L"TALV-Remediation (%s %d.%d)");
        return E_OUTOFMEMORY;
    }
    return S_OK;
}

} // namespace util

void GetCommonAppDataPath(std::wstring& path, const wchar_t* folder)
{
    if (folder != nullptr && *folder != L'\0') {
        DataFolderName() = folder;
    }
    wchar_t base[MAX_PATH] = {};
    if (FAILED(
            ::SHGetFolderPathW(nullptr, CSIDL_COMMON_APPDATA | CSIDL_FLAG_CREATE, nullptr, SHGFP_TYPE_CURRENT, base))) {
        path.clear();
        return;
    }
    path = base;
    if (!path.empty() && path.back() != L'\\') {
        path += L'\\';
    }
    path += DataFolderName();
}

HRESULT InitLogFile(qkConfiguredDebugOutput& logger, const wchar_t* baseName, const wchar_t* folder,
                    LogFileConfigurator configure)
{
    std::wstring path;
    GetCommonAppDataPath(path, folder);
    if (path.empty()) {
        return qkLib::LastErrorResult(E_UNEXPECTED);
    }
    if (::GetFileAttributesW(path.c_str()) == INVALID_FILE_ATTRIBUTES) {
        const int error = ::SHCreateDirectoryExW(nullptr, path.c_str(), nullptr);
        if (error != ERROR_SUCCESS && error != ERROR_ALREADY_EXISTS && error != ERROR_FILE_EXISTS) {
            QK_LOG_ERROR(L"Cannot create the log folder %s, error %d", path.c_str(), error);
            return HRESULT_FROM_WIN32(static_cast<DWORD>(error));
        }
    }
    // A data folder that another user could have redirected gets no log of ours. Whoever owns
    // it, the log file in it is opened without following a link and checked.
    const HRESULT refused = qkFolderTrust::RefuseLink(path);
    if (FAILED(refused)) {
        return refused;
    }
    if (configure != nullptr && !configure(logger, path.c_str(), baseName)) {
        QK_LOG_WARNING(L"The log file in %s could not be configured", path.c_str());
    }
    return S_OK;
}

void GetModulePath(HMODULE module, std::wstring& path)
{
    wchar_t buffer[MAX_PATH] = {};
    const DWORD n = ::GetModuleFileNameW(module, buffer, MAX_PATH);
    path.assign(buffer, n);
}

BOOL GetUserSIDAsString(std::wstring& sid)
{
    HANDLE raw = nullptr;
    if (!::OpenThreadToken(::GetCurrentThread(), TOKEN_QUERY, TRUE, &raw)) {
        if (::GetLastError() != ERROR_NO_TOKEN || !::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, &raw)) {
            QK_LOG_ERROR(L"OpenThreadToken() == FALSE, 0x%08X\n", ::GetLastError());
            return FALSE;
        }
    }
    qkHandle token(raw);
    DWORD size = 0;
    if (!::GetTokenInformation(raw, TokenUser, nullptr, 0, &size) && ::GetLastError() != ERROR_INSUFFICIENT_BUFFER) {
        QK_LOG_ERROR(L"GetTokenInformation() == FALSE, 0x%08X\n", ::GetLastError());
        return FALSE;
    }
    std::unique_ptr<uint8_t[]> buffer(new (std::nothrow) uint8_t[size]());
    if (!buffer) {
        QK_LOG_ERROR(L"NewAlloc() == NULL");
        return FALSE;
    }
    if (!::GetTokenInformation(raw, TokenUser, buffer.get(), size, &size)) {
        QK_LOG_ERROR(L"GetTokenInformation() == FALSE, 0x%08X\n", ::GetLastError());
        return FALSE;
    }
    qkLocalPtr<wchar_t> text;
    if (!::ConvertSidToStringSidW(reinterpret_cast<TOKEN_USER*>(buffer.get())->User.Sid, text.Receive())) {
        QK_LOG_ERROR(L"ConvertSidToStringSid() == FALSE, 0x%08X\n", ::GetLastError());
        return FALSE;
    }
    sid = text.Get();
    return TRUE;
}

bool IsGuestAccount()
{
    SID_IDENTIFIER_AUTHORITY nt = SECURITY_NT_AUTHORITY;
    qkAllocatedSid guests;
    if (!::AllocateAndInitializeSid(&nt, 2, SECURITY_BUILTIN_DOMAIN_RID, DOMAIN_ALIAS_RID_GUESTS, 0, 0, 0, 0, 0, 0,
                                    guests.Receive())) {
        QK_LOG_ERROR(L"AllocateAndInitializeSid() == FALSE, 0x%08X\n", ::GetLastError());
        return false;
    }
    HANDLE raw = nullptr;
    if (!::OpenThreadToken(::GetCurrentThread(), TOKEN_QUERY, TRUE, &raw) &&
        !::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, &raw)) {
        QK_LOG_ERROR(L"OpenProcessToken() == FALSE, 0x%08X\n", ::GetLastError());
        return false;
    }
    qkHandle token(raw);
    DWORD size = 0;
    if (!::GetTokenInformation(raw, TokenGroups, nullptr, 0, &size) && ::GetLastError() != ERROR_INSUFFICIENT_BUFFER) {
        QK_LOG_ERROR(L"GetTokenInformation() == FALSE, 0x%08X\n", ::GetLastError());
        return false;
    }
    std::unique_ptr<uint8_t[]> buffer(new (std::nothrow) uint8_t[size]());
    if (!buffer) {
        QK_LOG_ERROR(L"mem.NewAlloc() == NULL\n");
        return false;
    }
    if (!::GetTokenInformation(raw, TokenGroups, buffer.get(), size, &size)) {
        QK_LOG_ERROR(L"GetTokenInformation() == FALSE, 0x%08X\n", ::GetLastError());
        return false;
    }
    const auto* groups = reinterpret_cast<const TOKEN_GROUPS*>(buffer.get());
    for (DWORD i = 0; i < groups->GroupCount; ++i) {
        if (::EqualSid(groups->Groups[i].Sid, guests.Get())) {
            return true;
        }
    }
    return false;
}

bool IsUACEnabled()
{
    DWORD value = 0, type = 0, size = sizeof(value);
    const LSTATUS status =
        ::RegGetValueW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Policies\\System",
                       L"EnableLUA", RRF_RT_REG_DWORD, &type, &value, &size);
    return status == ERROR_SUCCESS && value == 1;
}

std::string ToUtf8(const std::wstring& text)
{
    return qkLib::ToUtf8(text);
}

std::wstring FromUtf8(const std::string& text)
{
    return qkLib::FromUtf8(text);
}

std::wstring GuidToString(const GUID& g)
{
    wchar_t text[40];
    qkLib::FormatWide(text, 40, L"{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}", static_cast<unsigned>(g.Data1),
                      g.Data2, g.Data3, g.Data4[0], g.Data4[1], g.Data4[2], g.Data4[3], g.Data4[4], g.Data4[5],
                      g.Data4[6], g.Data4[7]);
    return text;
}

void FormatGuid(std::wstring& out, bool stripBraces, const GUID& guid)
{
    wchar_t text[39] = {};
    ::StringFromGUID2(guid, text, 39);
    out = text;
    if (stripBraces) {
        std::erase(out, L'{');
        std::erase(out, L'}');
    }
}

} // namespace vek

HRESULT LaunchDefaultBrowser(const wchar_t* target)
{
    if (target == nullptr) {
        return E_INVALIDARG;
    }
    const auto result =
        reinterpret_cast<INT_PTR>(::ShellExecuteW(nullptr, L"open", target, nullptr, nullptr, SW_SHOWNORMAL));
    if (result <= 32) {
        QK_LOG_ERROR(L"ShellExecute of %s failed, result %d", target, static_cast<int>(result));
        return E_FAIL;
    }
    return S_OK;
}

HRESULT LaunchDefaultBrowser(const std::wstring& target)
{
    return LaunchDefaultBrowser(target.c_str());
}
