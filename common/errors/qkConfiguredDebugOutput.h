#pragma once
// A line logger whose switches come from the machine's debug options: at its first
// initialisation (its first line or its first setter) it loads qkTalDebugOptions from the
// registry and applies them; setters called afterwards override them. The launcher's one
// global logger is such a logger.
#include "common/base/qkDebugOutput.h"

class qkConfiguredDebugOutput : public qkDebugOutput {
public:
    explicit qkConfiguredDebugOutput(const wchar_t* moduleName);

    // First call only: loads the debug options, applies them and fills the default names.
    // FALSE when one of the three failed; the logger counts as initialised either way.
    BOOL Initialize() override;

    // Renames the log (file name and name prefix); an open file is reopened under the new
    // name. FALSE after an allocation failure.
    BOOL SetModuleName(const wchar_t* moduleName);

private:
    BOOL m_loading = FALSE; // set while the options are loaded and applied
};
