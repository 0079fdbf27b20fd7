#pragma once
// Launcher utilities: the manifest and the state file, manifest-driven registry lookups, per-file
// failure counts and priorities, the user agent, the data folder and small token queries.
// File validation lives beside these in a file of its own.
#include "services/launcher/VekResultCodes.h"

#include <windows.h>

#include <nlohmann/json.hpp>

class qkConfiguredDebugOutput;

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace vek {

// S_OK, VEK_E_FILE_NOT_FOUND or E_INVALIDARG (null or empty). A drive path is tested with the
// long-path prefix; a UNC or already prefixed path as it is.
HRESULT CheckFileExists(const wchar_t* path);
// S_OK with the size, E_INVALIDARG, or the failure met opening the file or reading its size.
HRESULT GetFileSize(const wchar_t* path, uint64_t& size);

// The manifest archive's bytes from the package appended to a launcher file.
HRESULT GetManifestData(const wchar_t* launcherPath, std::vector<uint8_t>& data);
// The manifest as a JSON document: UTF-8 with or without its mark; any other mark gives
// VEK_E_MANIFEST_NOT_UTF8; a parse failure or a non-object root VEK_E_JSON_NOT_PARSED.
HRESULT LoadManifest(const wchar_t* launcherPath, nlohmann::json& document);
// A saved state file (UTF-8 JSON) whose "crc" must match its "vek" member.
HRESULT LoadJsonFile(const wchar_t* path, nlohmann::json& document);
// The same for a file open for reading at its start (VEK_E_STATE_FILE_MISSING when empty).
HRESULT LoadOpenJsonFile(HANDLE file, nlohmann::json& document);
HRESULT CheckStateCrc(const nlohmann::json& document);
// The UTF-16 text of the state's "vek" member as the state file's checksum covers it: the compact
// writer's one line and its line feed. The saver computes the CRC-32 over all its bytes.
std::wstring WriteStateJsonText(const nlohmann::json& vekMember);
// -1 none, 0 UTF-8, 1 UTF-16 big-endian, 2 UTF-16 little-endian, 3 UTF-32 (big-endian form).
int DetectByteOrderMark(const uint8_t* bytes, size_t count);

// Lookups in the manifest document, whose root member is "vek".
// HKEY_LOCAL_MACHINE when vek.bootstrap.options.reg_context is "HKLM" (any case), else HKCU.
HKEY GetRegistryContext(const nlohmann::json& document);
// True when the manifest's "DownloadAccepted" is set to any non-zero value.
bool IsDownloadAccepted(const nlohmann::json& document);
// Reads "DownloadAccepted" from the manifest's key (keyPath under root, opened for reading); false
// when the key or the value is missing. Callers decide which values count as accepted.
bool ReadDownloadAccepted(HKEY root, const wchar_t* keyPath, DWORD& value);
int32_t GetFilePriority(const wchar_t* fileName, const nlohmann::json& job);
// The value name of a file's failure count: the last component of its source address, without
// query or fragment. The counter and the registry clean-up both name the value by it.
std::wstring FailureCountValueName(const std::wstring& source);
// Counts a failure of the file under the job's key of the manifest: base key \ manifest id \ job
// id \ "file_array", where the registry clean-up removes it. The manifest document gives the
// registry root and the manifest id (without an id nothing is written). Returns the value
// written (0 for the first failure).
uint32_t UpdateFileFailureCount(const nlohmann::json& document, const nlohmann::json& job, const wchar_t* fileName);
bool GetInstallerFileEntry(const nlohmann::json& job, nlohmann::json& entry);

namespace util {
// "TALV-Remediation (Windows NT <major>.<minor>)".
HRESULT FormatUserAgentString(std::wstring& userAgent);
} // namespace util

// The common application-data folder joined with the data-folder name ("Vallor" until the first
// non-empty folder argument replaces it for the process). Empty when the folder is unknown.
void GetCommonAppDataPath(std::wstring& path, const wchar_t* folder);
void GetModulePath(HMODULE module, std::wstring& path);

// Sets up a logger's file in a folder with a base name (the engine's ConfigureLogFile).
using LogFileConfigurator = BOOL (*)(qkConfiguredDebugOutput& logger, const wchar_t* folder, const wchar_t* baseName);
// The data folder (GetCommonAppDataPath with the folder name) made with its missing parents, then
// the logger's file configured there with the base name, unless the folder is refused
// (qkFolderTrust::RefuseLink: a link; another account's folder is used, its log file checked
// when the logger opens it). The failure or refusal
// of the folder, else S_OK whatever the configuration answers. The configuration is the caller's:
// it belongs to the engine, above this library.
HRESULT InitLogFile(qkConfiguredDebugOutput& logger, const wchar_t* baseName, const wchar_t* folder,
                    LogFileConfigurator configure);

BOOL GetUserSIDAsString(std::wstring& sid);
bool IsGuestAccount();
bool IsUACEnabled();

std::string ToUtf8(const std::wstring& text);
std::wstring FromUtf8(const std::string& text);
std::wstring GuidToString(const GUID& guid);
void FormatGuid(std::wstring& out, bool stripBraces, const GUID& guid);

} // namespace vek

// Opens the URL or file with the shell's "open" verb: S_OK, E_INVALIDARG (null) or E_FAIL.
HRESULT LaunchDefaultBrowser(const wchar_t* target);
HRESULT LaunchDefaultBrowser(const std::wstring& target);
