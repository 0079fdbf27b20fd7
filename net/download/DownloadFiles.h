#pragma once
// Path facts the download code needs about temporary and destination files.
#include <string>

namespace vek {

// The folder of a path (without the last separator), empty when there is none.
std::wstring DownloadFolderOf(const std::wstring& path);

} // namespace vek
