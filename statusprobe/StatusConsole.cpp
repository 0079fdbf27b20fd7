#include "statusprobe/StatusConsole.h"

#include "statusprobe/ComError.h"
#include "statusprobe/ProbeOutput.h"
#include "statusprobe/ScopedVariant.h"
#include "statusprobe/StatusNames.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <string_view>

using Microsoft::WRL::ComPtr;

namespace {

// Characters that make a whole line invalid, and the ones that in addition make the number
// token invalid.
constexpr std::string_view kLinePunctuation = "./;'\\[]=<>?:\"{}|+_()*&^%$#@!`~";
constexpr std::string_view kTokenExtra = ",- ";

// Interactive lines hold at most 63 characters.
constexpr std::streamsize kLineBuffer = 64;

bool ContainsAny(std::string_view text, std::string_view set)
{
    return text.find_first_of(set) != std::string_view::npos;
}

bool ContainsLetter(std::string_view text)
{
    for (const char c : text) {
        if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z')) {
            return true;
        }
    }
    return false;
}

// Codes are 512 + a number the user gave; wrap instead of overflowing.
LONG CodeOf(long number)
{
    return static_cast<LONG>(static_cast<unsigned long>(PS_STATUS::eFirstOperation) +
                             static_cast<unsigned long>(number));
}

// The line as typed, byte for byte, for echoing it back.
std::wstring Echo(std::string_view line)
{
    std::wstring wide;
    for (const char c : line) {
        wide.push_back(static_cast<wchar_t>(static_cast<unsigned char>(c)));
    }
    return wide;
}

// A parameter typed at the prompt is text in the ANSI code page.
std::wstring Widen(std::string_view text)
{
    if (text.empty()) {
        return {};
    }
    const int length = ::MultiByteToWideChar(CP_ACP, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    std::wstring wide(static_cast<size_t>(length), L'\0');
    ::MultiByteToWideChar(CP_ACP, 0, text.data(), static_cast<int>(text.size()), wide.data(), length);
    return wide;
}

void PrintInvalid(std::string_view line)
{
    ProbePrint(L"Sorry, %ls is not a valid entry.\n", Echo(line).c_str());
    ShowMenu(true);
}

// The 32-bit value of the error VARIANT; a value that does not convert counts as no error.
LONG ErrorValue(const VARIANT& error)
{
    if (error.vt == VT_I4) {
        return error.lVal;
    }
    ScopedVariant converted;
    if (FAILED(::VariantChangeType(converted.Out(), const_cast<VARIANT*>(&error), 0, VT_I4))) {
        return 0;
    }
    return converted.Get().lVal;
}

void PrintResult(const VARIANT& result)
{
    if (result.vt == VT_I4) {
        const wchar_t* name = StatusName(result.lVal);
        if (name != kUnknownName) {
            ProbePrint(L"%ls\n", name);
            return;
        }
    } else if (result.vt == VT_BOOL) {
        ProbePrint(L"%ls\n", result.boolVal != VARIANT_FALSE ? L"True" : L"False");
        return;
    }
    ScopedVariant text;
    if (FAILED(::VariantChangeType(text.Out(), const_cast<VARIANT*>(&result), 0, VT_BSTR))) {
        ProbePrint(L"%ls\n", L"<type conversion error>");
        return;
    }
    const BSTR value = text.Get().bstrVal;
    ProbePrint(L"%ls\n", value != nullptr ? value : L"");
}

} // namespace

void ShowMenu(bool header)
{
    if (header) {
        ProbePrint(L"Enter command number (e or q to exit, m or h for menu/help, a to run all from cli).  "
                   L"Invalid cmds will be sent to the server\n");
    }
    for (LONG code = PS_STATUS::eFirstOperation; code <= PS_STATUS::eLastOperation; ++code) {
        ProbePrint(L"[%d]: %ls\n", static_cast<int>(code - PS_STATUS::eFirstOperation), OperationName(code));
    }
}

void ExecuteCommand(ComPtr<ISecurityStatus> object, LONG code, const std::wstring& parameter)
{
    ProbePrint(L"Executing %ls... ", OperationName(code));

    ScopedVariant command;
    command.Get().vt = VT_I4;
    command.Get().lVal = code;
    ScopedVariant argument;
    if (parameter.empty()) {
        argument.Get().vt = VT_I4;
        argument.Get().lVal = 0;
    } else {
        BSTR text = ::SysAllocStringLen(parameter.data(), static_cast<UINT>(parameter.size()));
        if (text == nullptr) {
            throw ComError(E_OUTOFMEMORY);
        }
        argument.Get().vt = VT_BSTR;
        argument.Get().bstrVal = text;
    }
    ScopedVariant result;
    ScopedVariant error;

    const HRESULT hr = object->Execute(0, command.Get(), argument.Get(), result.Out(), error.Out());
    if (FAILED(hr)) {
        ProbePrint(L"Failed (_com_error): 0x%08X - %ls\n", static_cast<unsigned>(hr),
                   ComError(hr).ErrorMessage().c_str());
        return;
    }
    const LONG errorCode = ErrorValue(error.Get());
    if (errorCode != 0) {
        ProbePrint(L"*FAILED*: error = %ls\n", ErrorName(errorCode));
        return;
    }
    PrintResult(result.Get());
}

void RunAllCommands(ComPtr<ISecurityStatus> object)
{
    for (LONG code = PS_STATUS::eFirstOperation; code <= PS_STATUS::eLastOperation; ++code) {
        ExecuteCommand(object, code, std::wstring());
    }
}

void RunInteractive(ComPtr<ISecurityStatus> object)
{
    ShowMenu(true);
    for (;;) {
        char buffer[kLineBuffer];
        std::memset(buffer, 0, sizeof(buffer));
        ProbePrint(L"StatusTest> ");
        std::fflush(stdout);
        std::cin.getline(buffer, kLineBuffer);
        if (std::cin.fail() || std::cin.bad()) {
            // Nothing more to read: end as with "q" rather than prompting forever.
            if (std::cin.eof() && std::cin.gcount() == 0) {
                ProbePrint(L"Exiting.\n");
                return;
            }
            // A longer line: use what was read; the rest comes as the next line.
            std::cin.clear();
        }
        const std::string_view line(buffer);

        switch (line.empty() ? '\0' : line.front()) {
        case 'e':
        case 'E':
        case 'q':
        case 'Q':
            ProbePrint(L"Exiting.\n");
            return;
        case 'h':
        case 'H':
        case 'm':
        case 'M':
            ShowMenu(true);
            continue;
        case 'a':
        case 'A':
            RunAllCommands(object);
            continue;
        default:
            break;
        }

        if (line.empty() || ContainsAny(line, kLinePunctuation)) {
            PrintInvalid(line);
            continue;
        }
        const size_t start = line.find_first_not_of(' ');
        const size_t end = start == std::string_view::npos ? line.size() : line.find(' ', start);
        const std::string_view token =
            start == std::string_view::npos ? std::string_view() : line.substr(start, end - start);
        // A line of blanks has no number to send either.
        if (token.empty() || ContainsLetter(token) || ContainsAny(token, kLinePunctuation) ||
            ContainsAny(token, kTokenExtra)) {
            PrintInvalid(line);
            continue;
        }
        const std::string number(token);
        const std::string_view rest =
            end == std::string_view::npos || end >= line.size() ? std::string_view() : line.substr(end + 1);
        ExecuteCommand(object, CodeOf(std::atol(number.c_str())), Widen(rest));
    }
}
