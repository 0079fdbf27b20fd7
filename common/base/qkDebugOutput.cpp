#include "common/base/qkDebugOutput.h"

#include "common/base/qkExceptionInfo.h"
#include "common/base/qkScopedLock.h"
#include "common/base/qkStringConvert.h"
#include "common/base/qkTrace.h"
#include "common/system/qkFolderTrust.h"

#include <cstdlib>
#include <cwchar>

namespace {

const wchar_t* LevelWord(LONG level)
{
    switch (level) {
    case qkDebugOutput::LevelInformation:
        return L"Information";
    case qkDebugOutput::LevelWarning:
        return L"Warning";
    case qkDebugOutput::LevelError:
        return L"Error";
    default:
        return nullptr;
    }
}

} // namespace

qkDebugOutput::qkDebugOutput(const wchar_t* moduleName)
{
    qkStringConvert::Copy(moduleName, m_moduleName);
}

qkDebugOutput::~qkDebugOutput()
{
    CloseLogFile();
    m_lock.Delete();
}

void qkDebugOutput::CloseLogFile()
{
    if (m_file != INVALID_HANDLE_VALUE) {
        ::CloseHandle(m_file);
        m_file = INVALID_HANDLE_VALUE;
    }
}

BOOL qkDebugOutput::FillDefaultNames()
{
    if (!m_moduleName.empty() && !m_folder.empty()) {
        return TRUE;
    }
    wchar_t path[259];
    const DWORD length = ::GetModuleFileNameW(nullptr, path, 259);
    if (length == 0 || length >= 259) {
        QK_TRACE(L"GetModuleFileNameW failed : %lu", ::GetLastError());
        return FALSE;
    }
    wchar_t drive[_MAX_DRIVE];
    wchar_t dir[_MAX_DIR];
    wchar_t name[_MAX_FNAME];
    wchar_t ext[_MAX_EXT];
    if (_wsplitpath_s(path, drive, _MAX_DRIVE, dir, _MAX_DIR, name, _MAX_FNAME, ext, _MAX_EXT) != 0) {
        return FALSE;
    }
    qkExceptionInfo info;
    try {
        if (m_moduleName.empty()) {
            m_moduleName = name;
        }
        if (m_folder.empty()) {
            m_folder = std::wstring(drive) + dir;
        }
    }
    QK_CATCH(info)
    return info.HasError() ? FALSE : TRUE;
}

BOOL qkDebugOutput::Initialize()
{
    if (m_initialized) {
        return TRUE;
    }
    qkScopedLock lock(m_lock);
    if (!lock.IsLocked()) {
        return FALSE;
    }
    BOOL result = TRUE;
    if (!m_initialized) {
        result = FillDefaultNames();
        m_initialized = TRUE;
    }
    return result;
}

BOOL qkDebugOutput::IsLevelEnabled(LONG level)
{
    qkDebugOutput* logger = this;
    logger->Initialize();
    while (logger->m_forwardTo != nullptr) {
        logger = logger->m_forwardTo;
        logger->Initialize();
    }
    if (logger->m_holding) {
        return TRUE; // held lines are kept whatever the level; the level decides at release
    }
    return logger->m_debugType != 0 && logger->m_debugType <= level;
}

void qkDebugOutput::LogInformation(const wchar_t* format, va_list args)
{
    if (IsLevelEnabled(LevelInformation)) {
        WriteV(LevelInformation, format, args);
    }
}

void qkDebugOutput::LogWarning(const wchar_t* format, va_list args)
{
    if (IsLevelEnabled(LevelWarning)) {
        WriteV(LevelWarning, format, args);
    }
}

void qkDebugOutput::LogError(const wchar_t* format, va_list args)
{
    if (IsLevelEnabled(LevelError)) {
        WriteV(LevelError, format, args);
    }
}

void qkDebugOutput::WriteV(LONG level, const wchar_t* format, va_list args)
{
    if (m_forwardTo != nullptr) {
        m_forwardTo->WriteV(level, format, args);
        return;
    }
    const bool holding = m_holding;
    if (!holding && !IsLevelEnabled(level)) {
        return;
    }
    HeldLine held{level, {}, ::GetCurrentThreadId(), {}};
    ::GetLocalTime(&held.time);
    qkExceptionInfo info;
    try {
        if (!qkStringConvert::AppendFormatV(held.message, format, args)) {
            return; // the line is dropped
        }
        if (holding) {
            qkScopedLock lock(m_lock);
            // Re-tested under the lock: ReleaseHeldLines may have run meanwhile.
            if (m_holding) {
                if (m_held.size() < kMaxHeldLines) {
                    m_held.push_back(std::move(held));
                }
                return;
            }
        }
    }
    QK_CATCH(info)
    if (info.HasError()) {
        return;
    }
    WriteLine(held);
}

void qkDebugOutput::WriteLine(const HeldLine& held)
{
    if (!IsLevelEnabled(held.level)) {
        return;
    }
    // Built outside the lock: lines of different threads interleave only between lines.
    qkExceptionInfo info;
    std::wstring line;
    try {
        // The name is copied under the lock: a rename may replace it while the line is built.
        const std::wstring moduleName = m_prependModuleName ? GetModuleName() : std::wstring();
        if (m_prependDateTime) {
            const SYSTEMTIME& t = held.time;
            qkStringConvert::AppendFormat(line, L"%04d-%02d-%02d-%02d-%02d-%02d-%03d : ", t.wYear, t.wMonth, t.wDay,
                                          t.wHour, t.wMinute, t.wSecond, t.wMilliseconds);
        }
        if (!moduleName.empty()) {
            qkStringConvert::AppendFormat(line, L"%s : ", moduleName.c_str());
        }
        if (m_prependProcessId) {
            qkStringConvert::AppendFormat(line, L"0x%04X : ", ::GetCurrentProcessId());
        }
        if (m_prependThreadId) {
            qkStringConvert::AppendFormat(line, L"0x%04X : ", held.threadId);
        }
        if (m_prependType) {
            if (const wchar_t* word = LevelWord(held.level)) {
                qkStringConvert::AppendFormat(line, L"%s : ", word);
            }
        }
        line.append(held.message);
        if (m_appendNewLine) {
            while (!line.empty() && (line.back() == L'\r' || line.back() == L'\n')) {
                line.pop_back();
            }
            line.append(L"\r\n");
        }
    }
    QK_CATCH(info)
    if (info.HasError()) {
        return;
    }
    OutputText(line.c_str());
}

void qkDebugOutput::HoldLines()
{
    qkScopedLock lock(m_lock);
    m_holding = true;
}

void qkDebugOutput::ReleaseHeldLines()
{
    std::vector<HeldLine> held;
    {
        qkScopedLock lock(m_lock);
        m_holding = false;
        held.swap(m_held);
    }
    for (const HeldLine& line : held) {
        WriteLine(line);
    }
}

void qkDebugOutput::OutputText(const wchar_t* line)
{
    if (line == nullptr) {
        return;
    }
    if (m_outputToDebugger) {
        ::OutputDebugStringW(line);
    }
    if (!m_outputToFile) {
        return;
    }
    qkScopedLock lock(m_lock);
    if (!lock.IsLocked()) {
        return;
    }
    if (m_file == INVALID_HANDLE_VALUE) {
        OpenLogFile();
    }
    if (m_file != INVALID_HANDLE_VALUE) {
        DWORD written = 0;
        ::WriteFile(m_file, line, static_cast<DWORD>(wcslen(line) * sizeof(wchar_t)), &written, nullptr);
    }
}

std::wstring qkDebugOutput::GetLogFilePath()
{
    std::wstring path;
    qkScopedLock lock(m_lock);
    qkExceptionInfo info;
    try {
        if (m_folder.empty()) {
            return path;
        }
        if (m_appendProcessIdToFile) {
            qkStringConvert::FormatPath(path, m_folder.c_str(), L"%s-0x%04X.log", m_moduleName.c_str(),
                                        ::GetCurrentProcessId());
        } else {
            qkStringConvert::FormatPath(path, m_folder.c_str(), L"%s.log", m_moduleName.c_str());
        }
    }
    QK_CATCH(info)
    if (info.HasError()) {
        path.clear();
    }
    return path;
}

BOOL qkDebugOutput::OpenLogFile()
{
    qkScopedLock lock(m_lock);
    CloseLogFile();
    const std::wstring path = GetLogFilePath();
    if (path.empty()) {
        QK_TRACE(L"no log folder");
        return FALSE;
    }
    // Opened for appending only and shared for writing: a launcher and the copy it relaunches
    // within the same second log to one file name, and every line of both must land whole at its
    // end instead of one process being locked out or writing over the other's lines. A file
    // planted under that name (a link, another name of another file, or, with full rights,
    // another account's file) is not written: the lines go to a name of this process's own.
    bool created = false;
    m_file = OpenCheckedLogFile(path, created);
    if (m_file == INVALID_HANDLE_VALUE && !m_appendProcessIdToFile) {
        std::wstring own;
        qkExceptionInfo info;
        try {
            qkStringConvert::FormatPath(own, m_folder.c_str(), L"%s-0x%04X.log", m_moduleName.c_str(),
                                        ::GetCurrentProcessId());
        }
        QK_CATCH(info)
        if (!info.HasError() && !own.empty()) {
            QK_TRACE(L"log file %s refused, logging to %s", path.c_str(), own.c_str());
            m_file = OpenCheckedLogFile(own, created);
        }
    }
    if (m_file == INVALID_HANDLE_VALUE)
        return FALSE;
    if (created) {
        // A new file: the byte-order mark first.
        const wchar_t mark = 0xFEFF;
        DWORD written = 0;
        ::WriteFile(m_file, &mark, sizeof(mark), &written, nullptr);
    }
    return TRUE;
}

HANDLE qkDebugOutput::OpenCheckedLogFile(const std::wstring& path, bool& created)
{
    HANDLE file = ::CreateFileW(path.c_str(), FILE_APPEND_DATA | FILE_READ_ATTRIBUTES | READ_CONTROL | SYNCHRONIZE,
                                FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS,
                                FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        QK_TRACE(L"CreateFileW %s failed : %lu", path.c_str(), ::GetLastError());
        return file;
    }
    created = ::GetLastError() == 0;
    // Checked without logging: this is the log.
    if (FAILED(qkFolderTrust::OpenedRefusal(file, path))) {
        ::CloseHandle(file);
        return INVALID_HANDLE_VALUE;
    }
    return file;
}

BOOL qkDebugOutput::ReopenLogFile()
{
    qkScopedLock lock(m_lock);
    if (m_file == INVALID_HANDLE_VALUE) {
        return TRUE;
    }
    return OpenLogFile();
}

void qkDebugOutput::SetDebugType(LONG value)
{
    Initialize();
    m_debugType = value;
}

void qkDebugOutput::SetOutputToDebugger(BOOL value)
{
    Initialize();
    m_outputToDebugger = value;
}

void qkDebugOutput::SetOutputToFile(BOOL value)
{
    Initialize();
    m_outputToFile = value;
}

void qkDebugOutput::SetPrependThreadId(BOOL value)
{
    Initialize();
    m_prependThreadId = value;
}

void qkDebugOutput::SetPrependProcessId(BOOL value)
{
    Initialize();
    m_prependProcessId = value;
}

void qkDebugOutput::SetPrependDateTime(BOOL value)
{
    Initialize();
    m_prependDateTime = value;
}

void qkDebugOutput::SetPrependModuleName(BOOL value)
{
    Initialize();
    m_prependModuleName = value;
}

void qkDebugOutput::SetAppendNewLine(BOOL value)
{
    Initialize();
    m_appendNewLine = value;
}

void qkDebugOutput::SetPrependType(BOOL value)
{
    Initialize();
    m_prependType = value;
}

void qkDebugOutput::SetAppendProcessIdToFile(BOOL value)
{
    Initialize();
    qkScopedLock lock(m_lock);
    const bool changed = (value != FALSE) != (m_appendProcessIdToFile != FALSE);
    m_appendProcessIdToFile = value;
    if (changed) {
        ReopenLogFile();
    }
}

BOOL qkDebugOutput::SetDirectory(const wchar_t* folder)
{
    Initialize();
    return ReplaceFileNamePart(m_folder, folder);
}

BOOL qkDebugOutput::ReplaceFileNamePart(std::wstring& part, const wchar_t* text)
{
    qkScopedLock lock(m_lock);
    qkExceptionInfo info;
    bool changed = false;
    try {
        const std::wstring value = text != nullptr ? text : L"";
        changed = value != part;
        part = value;
    }
    QK_CATCH(info)
    if (info.HasError()) {
        return FALSE;
    }
    if (changed) {
        ReopenLogFile();
    }
    return TRUE;
}

std::wstring qkDebugOutput::GetModuleName()
{
    Initialize();
    qkScopedLock lock(m_lock);
    return m_moduleName;
}
