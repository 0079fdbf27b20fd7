#pragma once
// The plug-in file of a job: finding its entry in the job's "file_array" by type and class
// identifier, and verifying the file while it is held open.
#include <windows.h>

#include <nlohmann/json.hpp>

#include <string>

class CLockedFileVerifier;

namespace vek {

// The first entry of the job's "file_array" whose "type" is `type` and whose "clsid" equals
// `classId` without regard to case; entries without "clsid" are skipped.
bool FindPluginEntry(const nlohmann::json& job, const char* type, const std::wstring& classId, nlohmann::json& entry);
// The entry's "destination_file".
std::wstring PluginFilePath(const nlohmann::json& entry);
// Holds the file open and verifies its signature strictly, then checks it against the entry's
// "validation" node while it is still held, so that no other file can be swapped in between.
HRESULT VerifyPluginFile(const std::wstring& path, const nlohmann::json& entry, CLockedFileVerifier& verifier);

} // namespace vek
