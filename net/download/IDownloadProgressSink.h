#pragma once
// Receiver of the byte count of each chunk written to the destination file.
#include <cstdint>

namespace vek {

class IDownloadProgressSink {
public:
    virtual void OnBytesWritten(std::uint64_t count) = 0;

protected:
    ~IDownloadProgressSink() = default;
};

} // namespace vek
