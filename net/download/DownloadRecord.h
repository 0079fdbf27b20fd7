#pragma once
// One file's download record, the JSON object that carries what resuming its transfer needs
// between the download manager, the engine and the job node (numbers as decimal strings there).
// The engine reads it into this typed form once and writes it back once; the key spellings live
// only in DownloadRecord.cpp.
#include <nlohmann/json.hpp>

#include <cstdint>
#include <optional>
#include <string>

namespace vek {

struct DownloadRecord {
    std::wstring downloadUri;
    std::wstring localFilePath;
    std::optional<std::uint64_t> bytesTotal;
    std::optional<std::uint64_t> bytesTotalCached;
    std::optional<std::uint64_t> bytesDownloaded;
    std::optional<std::wstring> dateLastModified;
    std::optional<std::wstring> localTempPath;

    // Members absent or null stay empty; a count that is not a decimal number throws
    // std::invalid_argument (the manager's thread drops such a record).
    static DownloadRecord FromJson(const nlohmann::json& node);
    // Writes the members that are set into the node, leaving its other members as they are.
    void ToJson(nlohmann::json& node) const;
    nlohmann::json ToJson() const;
};

// The address of a record in JSON form, empty when it has none (never throws).
std::wstring RecordUri(const nlohmann::json& node);
// The temporary file of a record in JSON form, empty when it has none (never throws).
std::wstring RecordTempPath(const nlohmann::json& node);
// Sets the expected size of a record in JSON form (the size query's answer).
void SetRecordBytesTotal(nlohmann::json& node, std::uint64_t size);

} // namespace vek
