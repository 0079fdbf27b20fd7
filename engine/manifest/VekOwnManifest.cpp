#include "engine/manifest/VekOwnManifest.h"

#include "services/launcher/VekUtil.h"

#include <mutex>

namespace vek {
namespace {

// The file a kept document was read from, as the file system describes it.
struct FileStamp {
    std::wstring path;
    ULARGE_INTEGER size{};
    FILETIME written{};

    bool operator==(const FileStamp& other) const
    {
        return path == other.path && size.QuadPart == other.size.QuadPart &&
               written.dwLowDateTime == other.written.dwLowDateTime &&
               written.dwHighDateTime == other.written.dwHighDateTime;
    }
};

bool StampOf(const std::wstring& path, FileStamp& stamp)
{
    WIN32_FILE_ATTRIBUTE_DATA data{};
    if (!::GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data))
        return false;
    stamp.path = path;
    stamp.size.LowPart = data.nFileSizeLow;
    stamp.size.HighPart = data.nFileSizeHigh;
    stamp.written = data.ftLastWriteTime;
    return true;
}

struct Kept {
    std::mutex lock;
    VekOwnManifest::Reader reader;
    bool valid = false;
    FileStamp stamp;
    HRESULT result = E_FAIL;
    std::shared_ptr<const nlohmann::json> document;
};

Kept& State()
{
    static Kept kept;
    return kept;
}

} // namespace

HRESULT VekOwnManifest::Load(const std::wstring& launcherPath, std::shared_ptr<const nlohmann::json>& document)
{
    document.reset();
    Kept& kept = State();
    std::lock_guard<std::mutex> guard(kept.lock);
    FileStamp stamp;
    const bool stamped = StampOf(launcherPath, stamp);
    if (!(stamped && kept.valid && kept.stamp == stamp)) {
        auto parsed = std::make_shared<nlohmann::json>();
        const HRESULT hr = kept.reader ? kept.reader(launcherPath.c_str(), *parsed)
                                       : LoadManifest(launcherPath.c_str(), *parsed);
        kept.result = hr;
        kept.document = SUCCEEDED(hr) ? std::move(parsed) : nullptr;
        // A file whose stamp cannot be read is read again next time.
        kept.valid = stamped;
        kept.stamp = stamp;
    }
    document = kept.document;
    return kept.result;
}

void VekOwnManifest::SetReader(Reader reader)
{
    Kept& kept = State();
    std::lock_guard<std::mutex> guard(kept.lock);
    kept.reader = std::move(reader);
    kept.valid = false;
    kept.document.reset();
}

void VekOwnManifest::Forget()
{
    Kept& kept = State();
    std::lock_guard<std::mutex> guard(kept.lock);
    kept.valid = false;
    kept.document.reset();
}

} // namespace vek
