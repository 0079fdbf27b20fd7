#pragma once
// The process-wide reference to the plug-in object that is running now: one for the installation
// plug-in and one for the archive plug-in. A job sets it while its plug-in works and clears it
// when the plug-in is done; setting a new one releases the previous one.
#include <windows.h>
#include <unknwn.h>

namespace vek {

enum class PluginKind { Installation, Archive };

class VekCurrentPlugin {
public:
    // Takes one reference to `plugin` (may be null) and releases the previous one.
    static void Set(PluginKind kind, IUnknown* plugin);
    // Releases and clears the reference.
    static void Clear(PluginKind kind) { Set(kind, nullptr); }
    // True while a plug-in of the kind is current.
    static bool IsSet(PluginKind kind);
};

} // namespace vek
