#pragma once
// The record of one exception caught by a catch ladder. The library keeps to result codes at
// its boundaries: a guarded section runs work that may throw, the ladder records what it
// caught here, and the function turns HasError() into its own failure result.
//
//     qkExceptionInfo info;
//     try { ...work... }
//     QK_CATCH(info)
//     if (info.HasError()) return FALSE;
#include <windows.h>

#include <string>

class qkExceptionInfo {
public:
    // What was caught. 2 to 14 are not used.
    enum Kind : ULONG {
        KindNone = 0,
        KindUnknown = 1, // catch-all
        KindStdException = 15,
        KindBadException = 16,
        KindBadCast = 17,
        KindBadTypeid = 18,
        KindBadAlloc = 19,
        KindComError = 20,
        KindLibrary = 21, // qkException, recorded as "CAtlException"
        KindChar = 22,
        KindUnsignedChar = 23,
        KindShort = 24,
        KindUnsignedShort = 25,
        KindInt = 26,
        KindUnsignedInt = 27,
        KindLong = 28,
        KindUnsignedLong = 29,
        KindAnsiText = 30,
        KindWideText = 31,
    };

    qkExceptionInfo() = default;
    virtual ~qkExceptionInfo() = default;
    qkExceptionInfo(const qkExceptionInfo&) = delete;
    qkExceptionInfo& operator=(const qkExceptionInfo&) = delete;

    void SetKind(ULONG kind) { m_kind = kind; }
    // The texts of the pointer setters must be static: the record keeps only the pointer.
    void SetExceptionType(const wchar_t* typeName) { m_typeName = typeName; }
    void SetSourceFile(const wchar_t* sourceFile) { m_sourceFile = sourceFile; }
    void SetLine(LONG line) { m_line = line; }
    // Store a copy; a failure keeps the previous message.
    void SetMessageA(const char* text) noexcept;
    void SetMessage(const wchar_t* text) noexcept;

    bool HasError() const { return m_kind != KindNone; }
    ULONG GetKind() const { return m_kind; }
    const wchar_t* GetExceptionType() const { return m_typeName; }
    const wchar_t* GetMessage() const { return m_message.c_str(); }
    const wchar_t* GetSourceFile() const { return m_sourceFile; }
    LONG GetLine() const { return m_line; }
    // "type, message, context, file(line)"; "" when it cannot be composed.
    const wchar_t* GetFullText() noexcept;

    // The catch ladder: records the exception in flight. Call only inside a catch block.
    // Every type is recorded under its own kind (the particular standard exceptions before
    // std::exception), anything else as kind 1; nothing is rethrown.
    void CatchCurrent(const wchar_t* sourceFile, LONG line) noexcept;

private:
    void Record(ULONG kind, const wchar_t* typeName, const wchar_t* sourceFile, LONG line);
    void RecordFormat(ULONG kind, const wchar_t* typeName, const wchar_t* sourceFile, LONG line, const wchar_t* format,
                      ...);

    ULONG m_kind = KindNone;
    const wchar_t* m_context = nullptr; // no setter fills it
    const wchar_t* m_sourceFile = nullptr;
    LONG m_line = 0;
    const wchar_t* m_typeName = nullptr;
    std::wstring m_message;
    std::wstring m_fullText;
};

// The catching source file's name, as the record shows it.
#define QK_SOURCE_FILE (L"" __FILE_NAME__)

// The ladder after a try block: records anything thrown into the given record.
#define QK_CATCH(info)                                 \
    catch (...)                                        \
    {                                                  \
        (info).CatchCurrent(QK_SOURCE_FILE, __LINE__); \
    }
