#pragma once
// What the download engine tells its owner while a file comes in.
#include <cstdint>

namespace vek {

class IDownloadEngineObserver {
public:
    // Bytes of the current file now on disk (resumed bytes included), after each written chunk.
    virtual void OnFileProgress(std::uint64_t fileBytes) = 0;

protected:
    ~IDownloadEngineObserver() = default;
};

} // namespace vek
