#include "net/download/DownloadFiles.h"

namespace vek {

std::wstring DownloadFolderOf(const std::wstring& path)
{
    size_t slash = path.find_last_of(L"\\/");
    return slash == std::wstring::npos ? std::wstring() : path.substr(0, slash);
}

} // namespace vek
