#pragma once
// Section paths: normalised to a single leading backslash with trailing spaces, tabs and
// backslashes removed; two backslashes in a row are bad syntax. The view without the leading
// backslash (empty for the root) is what the data root walks.
#include <functional>

#include "settings/store/CStringBuffer.h"

namespace qkSettings {

NtStatus NormalizePath(const wchar_t* path, CStringBuffer& out);
CountedString PathView(const CStringBuffer& normalized);
// Each component in order; last is set for the final one. An empty view: status::kNoMoreEntries.
NtStatus VisitPathComponents(const CountedString& view,
                             const std::function<NtStatus(const CountedString& name, bool last)>& visit);

} // namespace qkSettings
