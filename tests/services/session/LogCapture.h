#pragma once
// Collects the lines written to the process logger while it lives, so that tests can assert
// what was logged.
#include <mutex>
#include <string>
#include <vector>

#include "common/errors/qkLog.h"

namespace vek::test {

class LogCapture : public qkDebugOutput {
public:
    LogCapture() : qkDebugOutput(L"capture")
    {
        SetDebugType(LevelInformation);
        qkLib::ProcessLogger().SetForwardTo(this);
    }
    ~LogCapture() override { qkLib::ProcessLogger().SetForwardTo(nullptr); }

    void OutputText(const wchar_t* line) override
    {
        std::lock_guard<std::mutex> lock(m_lock);
        m_lines.emplace_back(line ? line : L"");
    }
    // Whether a line holds the text.
    bool Contains(const std::wstring& text)
    {
        std::lock_guard<std::mutex> lock(m_lock);
        for (const auto& line : m_lines)
            if (line.find(text) != std::wstring::npos)
                return true;
        return false;
    }
    std::wstring All()
    {
        std::lock_guard<std::mutex> lock(m_lock);
        std::wstring all;
        for (const auto& line : m_lines)
            all += line + L"\n";
        return all;
    }
    void Clear()
    {
        std::lock_guard<std::mutex> lock(m_lock);
        m_lines.clear();
    }

private:
    std::mutex m_lock;
    std::vector<std::wstring> m_lines;
};

} // namespace vek::test
