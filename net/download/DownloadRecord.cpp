#include "net/download/DownloadRecord.h"

#include "net/download/DownloadJson.h"

namespace vek {

namespace {

// Spellings of the record's keys (the last-modified key is spelled so by the stored files).
constexpr const char* kDownloadUri = "DownloadUri";
constexpr const char* kLocalFilePath = "LocalFilePath";
constexpr const char* kBytesTotal = "BytesTotal";
constexpr const char* kBytesTotalCached = "BytesTotalCached";
constexpr const char* kBytesDownloaded = "BytesDownloaded";
constexpr const char* kDateLastModified = "DateLastModifed";
constexpr const char* kLocalTempPath = "LocalTempPath";

std::optional<std::uint64_t> OptionalCount(const nlohmann::json& node, const char* name)
{
    if (!JsonHas(node, name))
        return std::nullopt;
    return JsonDecimalU64(node, name);
}

std::optional<std::wstring> OptionalText(const nlohmann::json& node, const char* name)
{
    if (!JsonHas(node, name))
        return std::nullopt;
    return JsonWString(node, name);
}

} // namespace

DownloadRecord DownloadRecord::FromJson(const nlohmann::json& node)
{
    DownloadRecord record;
    record.downloadUri = JsonWString(node, kDownloadUri);
    record.localFilePath = JsonWString(node, kLocalFilePath);
    record.bytesTotal = OptionalCount(node, kBytesTotal);
    record.bytesTotalCached = OptionalCount(node, kBytesTotalCached);
    record.bytesDownloaded = OptionalCount(node, kBytesDownloaded);
    record.dateLastModified = OptionalText(node, kDateLastModified);
    record.localTempPath = OptionalText(node, kLocalTempPath);
    return record;
}

void DownloadRecord::ToJson(nlohmann::json& node) const
{
    if (!node.is_object())
        node = nlohmann::json::object();
    node[kDownloadUri] = WideToUtf8(downloadUri);
    node[kLocalFilePath] = WideToUtf8(localFilePath);
    auto count = [&node](const char* name, const std::optional<std::uint64_t>& value) {
        if (value)
            node[name] = DecimalString(*value);
    };
    auto text = [&node](const char* name, const std::optional<std::wstring>& value) {
        if (value)
            node[name] = WideToUtf8(*value);
    };
    count(kBytesTotal, bytesTotal);
    count(kBytesTotalCached, bytesTotalCached);
    count(kBytesDownloaded, bytesDownloaded);
    text(kDateLastModified, dateLastModified);
    text(kLocalTempPath, localTempPath);
}

nlohmann::json DownloadRecord::ToJson() const
{
    nlohmann::json node = nlohmann::json::object();
    ToJson(node);
    return node;
}

std::wstring RecordUri(const nlohmann::json& node)
{
    return JsonWString(node, kDownloadUri);
}

std::wstring RecordTempPath(const nlohmann::json& node)
{
    return JsonWString(node, kLocalTempPath);
}

void SetRecordBytesTotal(nlohmann::json& node, std::uint64_t size)
{
    node[kBytesTotal] = DecimalString(size);
}

} // namespace vek
