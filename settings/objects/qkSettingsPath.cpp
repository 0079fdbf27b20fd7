#include "settings/objects/qkSettingsPath.h"

#include <cwchar>

namespace qkSettings {

NtStatus NormalizePath(const wchar_t* path, CStringBuffer& out)
{
    if (path == nullptr)
        return status::kInvalidParameter;
    size_t units = std::wcslen(path);
    if (units >= kMaxCountedUnits)
        return status::kInvalidParameter;
    for (size_t i = 0; i + 1 < units; ++i)
        if (path[i] == L'\\' && path[i + 1] == L'\\')
            return status::kPathSyntaxBad;
    out.Clear();
    NtStatus st = path[0] == L'\\' ? status::kSuccess : out.Append(L"\\");
    if (NtSuccess(st))
        st = out.Append(path);
    if (!NtSuccess(st))
        return st;
    CountedString s = out.Get();
    size_t n = s.length / 2;
    while (n > 0 && (s.text[n - 1] == L' ' || s.text[n - 1] == L'\t' || s.text[n - 1] == L'\\'))
        --n;
    if (n == 0)
        return out.Assign(L"\\");
    CountedString trimmed{static_cast<USHORT>(n * 2), static_cast<USHORT>(n * 2), s.text};
    CStringBuffer copy;
    st = copy.Assign(trimmed);
    if (NtSuccess(st))
        st = out.Assign(copy.Get());
    return st;
}

CountedString PathView(const CStringBuffer& normalized)
{
    CountedString s = normalized.Get();
    if (s.length < 2)
        return CountedString{};
    return CountedString{static_cast<USHORT>(s.length - 2), static_cast<USHORT>(s.length - 2), s.text + 1};
}

NtStatus VisitPathComponents(const CountedString& view,
                             const std::function<NtStatus(const CountedString& name, bool last)>& visit)
{
    if (view.length == 0)
        return status::kNoMoreEntries;
    size_t units = view.length / 2, start = 0;
    for (size_t i = 0; i <= units; ++i) {
        if (i == units || view.text[i] == L'\\') {
            CountedString part{static_cast<USHORT>((i - start) * 2), static_cast<USHORT>((i - start) * 2),
                               view.text + start};
            NtStatus st = visit(part, i == units);
            if (!NtSuccess(st))
                return st;
            start = i + 1;
        }
    }
    return status::kSuccess;
}

} // namespace qkSettings
