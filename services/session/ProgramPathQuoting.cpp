#include "services/session/ProgramPathQuoting.h"

#include <windows.h>

#include <cwctype>

namespace Tolk {

namespace {

bool EndsWithProgramExtension(const std::wstring& path)
{
    static const wchar_t* const kExtensions[] = {L".exe", L".com", L".bat", L".cmd"};
    for (const wchar_t* extension : kExtensions) {
        const size_t length = wcslen(extension);
        if (path.size() > length && _wcsicmp(path.c_str() + path.size() - length, extension) == 0)
            return true;
    }
    return false;
}

bool IsExistingFile(const std::wstring& path)
{
    const DWORD attributes = ::GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

} // namespace

std::wstring QuoteProgramPath(const std::wstring& commandLine)
{
    const size_t start = commandLine.find_first_not_of(L" \t");
    if (start == std::wstring::npos || commandLine[start] == L'"')
        return commandLine;

    // Every place where the program path may end: before a blank, or at the end.
    size_t programEnd = std::wstring::npos;
    size_t existingEnd = std::wstring::npos;
    for (size_t end = start + 1; end <= commandLine.size(); ++end) {
        if (end < commandLine.size() && commandLine[end] != L' ' && commandLine[end] != L'\t')
            continue;
        if (end < commandLine.size() && (commandLine[end - 1] == L' ' || commandLine[end - 1] == L'\t'))
            continue;
        const std::wstring candidate = commandLine.substr(start, end - start);
        if (EndsWithProgramExtension(candidate)) {
            programEnd = end;
            break;
        }
        if (IsExistingFile(candidate))
            existingEnd = end;
    }
    if (programEnd == std::wstring::npos)
        programEnd = existingEnd;
    if (programEnd == std::wstring::npos)
        return commandLine;

    const std::wstring program = commandLine.substr(start, programEnd - start);
    if (program.find_first_of(L" \t") == std::wstring::npos)
        return commandLine;
    return commandLine.substr(0, start) + L"\"" + program + L"\"" + commandLine.substr(programEnd);
}

} // namespace Tolk
