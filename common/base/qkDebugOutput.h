#pragma once
// The library's line logger: turns a level and a printf-style message into one line with
// optional prefixes and hands it to the debugger output and to a UTF-16LE log file.
//
// Log file format (an external interface):
// - UTF-16 little-endian; a newly created file starts with the mark FF FE, an existing file
//   is appended to without a second mark;
// - name: folder (trailing backslashes removed) + "\" + module name [+ "-0x%04X" pid] + ".log";
// - one line per call, each part only when its switch is set: "%04d-%02d-%02d-%02d-%02d-%02d-%03d : "
//   (local time with milliseconds), "module : ", "0x%04X : " (process id), "0x%04X : " (thread
//   id), "Information : " / "Warning : " / "Error : ", the message, and with AppendNewLine the
//   line end normalised to one "\r\n".
#include "common/base/qkCriticalSection.h"

#include <windows.h>

#include <atomic>
#include <cstdarg>
#include <string>
#include <vector>

class qkDebugOutput {
public:
    enum Level : LONG { LevelInformation = 1, LevelWarning = 2, LevelError = 3 };

    // All switches off, DebugType 0 (nothing written), no file yet.
    explicit qkDebugOutput(const wchar_t* moduleName);
    virtual ~qkDebugOutput();
    qkDebugOutput(const qkDebugOutput&) = delete;
    qkDebugOutput& operator=(const qkDebugOutput&) = delete;

    // Writes a finished line to the debugger and the file, as the switches say.
    virtual void OutputText(const wchar_t* line);
    // First call only: fills an empty module name and folder from the program's own path.
    virtual BOOL Initialize();

    void LogInformation(const wchar_t* format, va_list args);
    void LogWarning(const wchar_t* format, va_list args);
    void LogError(const wchar_t* format, va_list args);
    // Builds and writes one line at the level (or hands it to the forward-to logger).
    void WriteV(LONG level, const wchar_t* format, va_list args);
    // TRUE when the last logger of the forward-to chain writes the level.
    BOOL IsLevelEnabled(LONG level);

    // Each setter runs Initialize first, so that loaded options are in place before one is
    // overridden.
    void SetDebugType(LONG value);
    void SetOutputToDebugger(BOOL value);
    void SetOutputToFile(BOOL value);
    void SetPrependThreadId(BOOL value);
    void SetPrependProcessId(BOOL value);
    void SetPrependDateTime(BOOL value);
    void SetPrependModuleName(BOOL value);
    void SetAppendNewLine(BOOL value);
    void SetPrependType(BOOL value);
    // Reopens an open log file when the value changes.
    void SetAppendProcessIdToFile(BOOL value);
    // Reopens an open log file when the folder changes; FALSE after an allocation failure.
    BOOL SetDirectory(const wchar_t* folder);
    // Keeps every line in memory, whatever the switches, until ReleaseHeldLines: a program that
    // configures its log only after its first steps loses none of their lines, and leaves no file
    // behind when it ends up configuring none.
    void HoldLines();
    // Writes the held lines (with the time and thread they were logged with) as the switches
    // now say, then writes lines as they come again.
    void ReleaseHeldLines();
    // When set, every line goes to that logger instead.
    void SetForwardTo(qkDebugOutput* target) { m_forwardTo = target; }

    // A copy taken under the lock: SetModuleName may replace the name at any time.
    std::wstring GetModuleName();
    // The log file's full name as the switches give it now.
    std::wstring GetLogFilePath();
    BOOL OpenLogFile();
    // Under the lock, reopens the file if one is open; TRUE when none is open.
    BOOL ReopenLogFile();

protected:
    // Opens one log file for appending, never through a link; INVALID_HANDLE_VALUE when it cannot
    // be opened or is refused (qkFolderTrust::OpenedRefusal). created: the open made the file.
    static HANDLE OpenCheckedLogFile(const std::wstring& path, bool& created);

    // Fills an empty module name and folder from the program's path (for Initialize and the
    // configured logger's own Initialize).
    BOOL FillDefaultNames();
    // Under the lock, sets the folder or module name part of the file name to the text (null as
    // empty) and reopens an open log file when it changed; FALSE after an allocation failure.
    BOOL ReplaceFileNamePart(std::wstring& part, const wchar_t* text);

    LONG m_debugType = 0;
    std::wstring m_moduleName;
    std::wstring m_folder;
    BOOL m_outputToDebugger = FALSE;
    BOOL m_outputToFile = FALSE;
    BOOL m_appendProcessIdToFile = FALSE;
    BOOL m_prependThreadId = FALSE;
    BOOL m_prependProcessId = FALSE;
    BOOL m_prependDateTime = FALSE;
    BOOL m_prependModuleName = FALSE;
    BOOL m_appendNewLine = FALSE;
    BOOL m_prependType = FALSE;
    HANDLE m_file = INVALID_HANDLE_VALUE;
    qkCriticalSection m_lock; // guards initialisation, the file and the file name parts
    BOOL m_initialized = FALSE;
    qkDebugOutput* m_forwardTo = nullptr;

private:
    struct HeldLine {
        LONG level;
        SYSTEMTIME time;
        DWORD threadId;
        std::wstring message;
    };
    static constexpr size_t kMaxHeldLines = 1000;
    void WriteLine(const HeldLine& line);
    void CloseLogFile();
    std::atomic<bool> m_holding{false};
    std::vector<HeldLine> m_held;
};
