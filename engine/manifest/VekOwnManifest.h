#pragma once
// The manifest appended to a launcher file, read and parsed once per process: the start record,
// the ping reporter, the status reporter and the engine all ask for the launcher's own manifest
// at start, and share the one parsed document (immutable; a user that changes it takes a copy).
// The document is kept with the file's size and last write time: a call for another file, or
// for the same file changed since, reads it afresh.
#include <windows.h>

#include <nlohmann/json.hpp>

#include <functional>
#include <memory>
#include <string>

namespace vek {

class VekOwnManifest {
public:
    using Reader = std::function<HRESULT(const wchar_t* launcherPath, nlohmann::json& document)>;

    // LoadManifest's result for the launcher file, with the parsed document when it succeeded (else
    // null); a failure is kept like a document, so an unchanged file is not read again.
    static HRESULT Load(const std::wstring& launcherPath, std::shared_ptr<const nlohmann::json>& document);
    // Replaces the reader (LoadManifest) for tests; null restores it. Forgets the kept document.
    static void SetReader(Reader reader);
    // Forgets the kept document: the next Load reads the file.
    static void Forget();
};

} // namespace vek
