#include "engine/mid/QuvIniDocument.h"

#include "engine/mid/QuvMidCodes.h"

#include "common/base/qkMultiByte.h"

#include "common/errors/qkLog.h"
#include "common/system/qkFile.h"
#include "common/base/qkTextCompare.h"

#include <vector>

namespace {

constexpr ULONGLONG kMaxFileSize = 0xFFFFFF;

bool IsBlank(wchar_t c)
{
    return c == L' ' || c == L'\t';
}
bool IsLineBreak(wchar_t c)
{
    return c == L'\r' || c == L'\n';
}

void SwapBytes(std::wstring& text)
{
    for (wchar_t& c : text)
        c = static_cast<wchar_t>(((c & 0xFF) << 8) | ((c >> 8) & 0xFF));
}

HRESULT LastError()
{
    return QuvHResultFromWin32(::GetLastError());
}

HRESULT DecodeBytes(const std::vector<BYTE>& bytes, QuvIniDocument::Encoding& encoding, std::wstring& text)
{
    const size_t n = bytes.size();
    auto starts = [&](std::initializer_list<BYTE> mark) {
        if (n < mark.size())
            return false;
        size_t i = 0;
        for (BYTE b : mark)
            if (bytes[i++] != b)
                return false;
        return true;
    };
    if (starts({0xFF, 0xFE, 0x00, 0x00}) || starts({0x00, 0x00, 0xFE, 0xFF}))
        return QUV_E_INI_UNSUPPORTED_ENCODING;

    size_t markLength = 0;
    if (starts({0xFF, 0xFE})) {
        encoding = QuvIniDocument::Encoding::Utf16LE;
        markLength = 2;
    } else if (starts({0xFE, 0xFF})) {
        encoding = QuvIniDocument::Encoding::Utf16BE;
        markLength = 2;
    } else if (starts({0xEF, 0xBB, 0xBF})) {
        encoding = QuvIniDocument::Encoding::Utf8;
        markLength = 3;
    } else {
        encoding = QuvIniDocument::Encoding::None;
    }

    if (encoding == QuvIniDocument::Encoding::Utf16LE || encoding == QuvIniDocument::Encoding::Utf16BE) {
        // An odd trailing byte cannot form a code unit and is dropped.
        const size_t units = (n - markLength) / 2;
        text.assign(units, L'\0');
        if (units)
            memcpy(text.data(), bytes.data() + markLength, units * 2);
        if (encoding == QuvIniDocument::Encoding::Utf16BE)
            SwapBytes(text);
        for (wchar_t& c : text)
            if (c == L'\0')
                c = L'?';
        return S_OK;
    }

    std::string narrow(reinterpret_cast<const char*>(bytes.data()) + markLength, n - markLength);
    for (char& c : narrow)
        if (c == '\0')
            c = '?';
    text.clear();
    if (narrow.empty())
        return S_OK;
    const UINT codePage = encoding == QuvIniDocument::Encoding::Utf8 ? CP_UTF8 : CP_ACP;
    return qkLib::MultiByteToWide(codePage, narrow, text);
}

bool IsQuoted(const std::wstring& text, size_t pos, size_t len)
{
    return len >= 2 && (text[pos] == L'"' || text[pos] == L'\'') && text[pos + len - 1] == text[pos];
}

} // namespace

void QuvIniDocument::QuvIniLine::Parse()
{
    isSection = isEntry = false;
    sectionPos = sectionLen = keyPos = keyLen = valuePos = valueLen = 0;
    endingPos = text.size();
    for (size_t i = 0; i < text.size(); ++i) {
        if (IsLineBreak(text[i])) {
            endingPos = i;
            break;
        }
    }

    size_t i = 0;
    while (i < endingPos && IsBlank(text[i]))
        ++i;
    if (i >= endingPos || text[i] == L';' || text[i] == L'#')
        return;

    if (text[i] == L'[') {
        ++i;
        while (i < endingPos && IsBlank(text[i]))
            ++i;
        size_t end = i;
        while (end < endingPos && text[end] != L']' && !IsBlank(text[end]))
            ++end;
        isSection = true;
        sectionPos = i;
        sectionLen = end - i;
        return;
    }

    size_t end = i;
    while (end < endingPos && text[end] != L'=' && !IsBlank(text[end]))
        ++end;
    keyPos = i;
    keyLen = end - i;
    while (end < endingPos && IsBlank(text[end]))
        ++end;
    if (end >= endingPos || text[end] != L'=')
        return;
    ++end;
    while (end < endingPos && IsBlank(text[end]))
        ++end;
    size_t last = endingPos;
    while (last > end && IsBlank(text[last - 1]))
        --last;
    isEntry = true;
    valuePos = end;
    valueLen = last - end;
}

void QuvIniDocument::Clear()
{
    m_lines.clear();
    m_lineEnding = L"\r\n";
}

HRESULT QuvIniDocument::Load(const wchar_t* path)
{
    Clear();
    m_encoding = Encoding::None;
    qkFile file;
    if (!file.Open(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                   FILE_ATTRIBUTE_NORMAL | FILE_FLAG_SEQUENTIAL_SCAN))
        return QuvHResultFromWin32(file.GetLastError());
    ULONGLONG size = 0;
    if (!file.GetSize(&size))
        return QuvHResultFromWin32(file.GetLastError());
    if (size > kMaxFileSize)
        return QUV_E_INI_TOO_LARGE;

    // One byte more than the size lets a file that grew while being read show up as an overrun.
    std::vector<BYTE> bytes(static_cast<size_t>(size) + 1);
    DWORD read = 0;
    if (!::ReadFile(file.GetHandle(), bytes.data(), static_cast<DWORD>(bytes.size()), &read, nullptr))
        return LastError();
    if (read > size)
        return QUV_E_INI_READ_OVERRUN;
    bytes.resize(read);

    Encoding encoding = Encoding::None;
    std::wstring text;
    HRESULT hr = DecodeBytes(bytes, encoding, text);
    if (FAILED(hr))
        return hr;
    m_encoding = encoding;
    return LoadText(text);
}

HRESULT QuvIniDocument::LoadText(const std::wstring& text)
{
    m_lines.clear();
    size_t counts[4] = {}; // CR LF, LF CR, CR, LF
    size_t start = 0;
    const size_t n = text.size();
    size_t i = 0;
    while (i < n) {
        const wchar_t c = text[i];
        if (!IsLineBreak(c)) {
            ++i;
            continue;
        }
        size_t endingLength = 1;
        if (c == L'\r' && i + 1 < n && text[i + 1] == L'\n') {
            ++counts[0];
            endingLength = 2;
        } else if (c == L'\n' && i + 1 < n && text[i + 1] == L'\r') {
            ++counts[1];
            endingLength = 2;
        } else {
            ++counts[c == L'\r' ? 2 : 3];
        }
        i += endingLength;
        m_lines.emplace_back(text.substr(start, i - start));
        start = i;
    }
    if (start < n)
        m_lines.emplace_back(text.substr(start));

    if (counts[1] > counts[0] && counts[1] > counts[2] && counts[1] > counts[3])
        m_lineEnding = L"\n\r";
    else if (counts[2] > counts[0] && counts[2] > counts[3])
        m_lineEnding = L"\r";
    else if (counts[3] > counts[0])
        m_lineEnding = L"\n";
    else
        m_lineEnding = L"\r\n";
    return S_OK;
}

std::wstring QuvIniDocument::GetText() const
{
    std::wstring text;
    for (const QuvIniLine& line : m_lines)
        text += line.text;
    return text;
}

HRESULT QuvIniDocument::Encode(std::string& bytes) const
{
    bytes.clear();
    switch (m_encoding) {
    case Encoding::Utf16LE:
        bytes.append("\xFF\xFE", 2);
        break;
    case Encoding::Utf16BE:
        bytes.append("\xFE\xFF", 2);
        break;
    case Encoding::Utf8:
        bytes.append("\xEF\xBB\xBF", 3);
        break;
    case Encoding::None:
        break;
    }
    for (const QuvIniLine& line : m_lines) {
        if (line.text.empty())
            continue;
        if (line.text.size() > 0x7FFFFFF)
            return QUV_E_INI_LINE_OVERFLOW;
        if (m_encoding == Encoding::Utf16LE || m_encoding == Encoding::Utf16BE) {
            std::wstring unit = line.text;
            if (m_encoding == Encoding::Utf16BE)
                SwapBytes(unit);
            bytes.append(reinterpret_cast<const char*>(unit.data()), unit.size() * sizeof(wchar_t));
            continue;
        }
        const UINT codePage = m_encoding == Encoding::Utf8 ? CP_UTF8 : CP_ACP;
        std::string narrow;
        if (const HRESULT hr = qkLib::WideToMultiByte(codePage, line.text, narrow); FAILED(hr))
            return hr;
        bytes += narrow;
    }
    return S_OK;
}

HRESULT QuvIniDocument::Save(const wchar_t* path) const
{
    if (!path || !*path)
        return E_INVALIDARG;
    std::string bytes;
    HRESULT hr = Encode(bytes);
    if (FAILED(hr))
        return hr;

    const std::wstring target = path;
    const std::wstring temporary = target + L".tmp";
    {
        qkFile file;
        if (!file.Open(temporary.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL)) {
            hr = QuvHResultFromWin32(file.GetLastError());
            QK_LOG_ERROR(L"Failed to create %s, hr=0x%08X", temporary.c_str(), hr);
            return hr;
        }
        size_t markLength = 0;
        switch (m_encoding) {
        case Encoding::Utf16LE:
        case Encoding::Utf16BE:
            markLength = 2;
            break;
        case Encoding::Utf8:
            markLength = 3;
            break;
        case Encoding::None:
            break;
        }
        HRESULT shortWrite =
            m_encoding == Encoding::None || m_encoding == Encoding::Utf8 ? QUV_E_INI_ANSI_SHORT : QUV_E_INI_UTF16_SHORT;
        if (markLength && !file.Write(bytes.data(), static_cast<DWORD>(markLength)))
            hr = QUV_E_INI_BOM_SHORT;
        else if (bytes.size() > markLength &&
                 !file.Write(bytes.data() + markLength, static_cast<DWORD>(bytes.size() - markLength)))
            hr = shortWrite;
        else if (!::FlushFileBuffers(file.GetHandle()))
            hr = LastError();
    }
    if (FAILED(hr)) {
        QK_LOG_ERROR(L"Failed to write %s, hr=0x%08X", temporary.c_str(), hr);
        ::DeleteFileW(temporary.c_str());
        return hr;
    }

    const DWORD moveFlags = MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH;
    if (!::MoveFileExW(temporary.c_str(), target.c_str(), moveFlags)) {
        // A read-only target refuses to be replaced: clear its attributes and try once more.
        ::SetFileAttributesW(target.c_str(), FILE_ATTRIBUTE_NORMAL);
        if (!::MoveFileExW(temporary.c_str(), target.c_str(), moveFlags)) {
            hr = LastError();
            QK_LOG_ERROR(L"Failed to move %s over %s, hr=0x%08X", temporary.c_str(), target.c_str(), hr);
            ::DeleteFileW(temporary.c_str());
            return hr;
        }
    }
    return S_OK;
}

QuvIniDocument::Lines::iterator QuvIniDocument::FindEntry(const wchar_t* section, const wchar_t* key,
                                                          Lines::iterator* lastInSection)
{
    const size_t sectionLength = wcslen(section);
    const size_t keyLength = wcslen(key);
    bool inside = false;
    Lines::iterator found = m_lines.end();
    if (lastInSection)
        *lastInSection = m_lines.end();
    for (auto it = m_lines.begin(); it != m_lines.end(); ++it) {
        const QuvIniLine& line = *it;
        if (line.isSection)
            inside = qkLib::EqualsOrdinalNoCase({line.text.data() + line.sectionPos, line.sectionLen}, {section, sectionLength});
        if (!inside)
            continue;
        if (lastInSection)
            *lastInSection = it;
        if (found == m_lines.end() && line.isEntry &&
            qkLib::EqualsOrdinalNoCase({line.text.data() + line.keyPos, line.keyLen}, {key, keyLength})) {
            found = it;
            if (!lastInSection)
                break;
        }
    }
    return found;
}

HRESULT QuvIniDocument::GetValue(const wchar_t* section, const wchar_t* key, std::wstring& value, bool& found) const
{
    value.clear();
    found = false;
    if (!section || !key)
        return E_INVALIDARG;
    auto it = const_cast<QuvIniDocument*>(this)->FindEntry(section, key, nullptr);
    if (it == m_lines.end())
        return S_OK;
    size_t pos = it->valuePos, len = it->valueLen;
    if (IsQuoted(it->text, pos, len)) {
        ++pos;
        len -= 2;
    }
    value = it->text.substr(pos, len);
    found = true;
    return S_OK;
}

QuvIniDocument::Lines::iterator QuvIniDocument::InsertAfter(Lines::iterator position, std::wstring text)
{
    // Whether the file ends with a line ending does not change: a line added after a last line
    // without an ending gives that line the ending and gets none itself.
    auto next = position == m_lines.end() ? m_lines.begin() : std::next(position);
    if (next == m_lines.end()) {
        const bool endsWithEnding = !m_lines.empty() && m_lines.back().HasEnding();
        if (endsWithEnding) {
            text += m_lineEnding;
        } else if (!m_lines.empty()) {
            m_lines.back().text += m_lineEnding;
            m_lines.back().Parse();
        }
    } else {
        text += m_lineEnding;
    }
    return m_lines.emplace(next, std::move(text));
}

HRESULT QuvIniDocument::SetValue(const wchar_t* section, const wchar_t* key, const wchar_t* value)
{
    if (!section || !key)
        return E_INVALIDARG;
    const std::wstring newValue = value ? value : L"";
    Lines::iterator lastInSection;
    auto it = FindEntry(section, key, &lastInSection);
    if (it != m_lines.end()) {
        QuvIniLine& line = *it;
        size_t pos = line.valuePos, len = line.valueLen;
        if (IsQuoted(line.text, pos, len)) {
            ++pos;
            len -= 2;
        }
        line.text.replace(pos, len, newValue);
        line.Parse();
        return S_OK;
    }

    std::wstring entry = std::wstring(key) + L"=" + newValue;
    if (lastInSection != m_lines.end()) {
        InsertAfter(lastInSection, std::move(entry));
        return S_OK;
    }
    // A new section goes after the last line; it always carries the line ending, and the entry
    // after it takes over whether the document ended with one.
    const bool endedWithEnding = !m_lines.empty() && m_lines.back().HasEnding();
    if (!m_lines.empty() && !endedWithEnding) {
        m_lines.back().text += m_lineEnding;
        m_lines.back().Parse();
    }
    m_lines.emplace_back(L"[" + std::wstring(section) + L"]" + m_lineEnding);
    if (endedWithEnding)
        entry += m_lineEnding;
    m_lines.emplace_back(std::move(entry));
    return S_OK;
}

std::wstring QuvTrimBlanks(const std::wstring& text)
{
    size_t begin = 0, end = text.size();
    while (begin < end && IsBlank(text[begin]))
        ++begin;
    while (end > begin && IsBlank(text[end - 1]))
        --end;
    return text.substr(begin, end - begin);
}

void QuvSplitFirst(const wchar_t* list, std::wstring& first, std::wstring& rest)
{
    first.clear();
    rest.clear();
    if (!list)
        return;
    const std::wstring text = list;
    const size_t bar = text.find(L'|');
    if (bar == std::wstring::npos) {
        first = QuvTrimBlanks(text);
        return;
    }
    first = QuvTrimBlanks(text.substr(0, bar));
    rest = QuvTrimBlanks(text.substr(bar + 1));
}
