#pragma once
// Reads a line logger's switches, which the logger keeps to itself.
#include "common/base/qkDebugOutput.h"

#include <string>

namespace logtest {

struct Switches {
    LONG debugType;
    BOOL outputToDebugger, outputToFile, appendProcessIdToFile, prependThreadId, prependProcessId, prependDateTime,
        prependModuleName, appendNewLine, prependType;
    bool operator==(const Switches&) const = default;
};

template <class Logger>
class Peek : public Logger {
public:
    using Logger::Logger;
    Switches Get() const
    {
        return {
            this->m_debugType,       this->m_outputToDebugger, this->m_outputToFile,    this->m_appendProcessIdToFile,
            this->m_prependThreadId, this->m_prependProcessId, this->m_prependDateTime, this->m_prependModuleName,
            this->m_appendNewLine,   this->m_prependType};
    }
    const std::wstring& Folder() const { return this->m_folder; }
    BOOL Initialized() const { return this->m_initialized; }
};

inline std::ostream& operator<<(std::ostream& out, const Switches& s)
{
    return out << "level " << s.debugType << " dbg " << s.outputToDebugger << " file " << s.outputToFile << " pidfile "
               << s.appendProcessIdToFile << " tid " << s.prependThreadId << " pid " << s.prependProcessId << " time "
               << s.prependDateTime << " module " << s.prependModuleName << " newline " << s.appendNewLine << " type "
               << s.prependType;
}

} // namespace logtest
