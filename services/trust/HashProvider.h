#pragma once
// The external hash provider that the trust object may consult before its own verification.
// It lies outside the system: given an open file it answers the "vtresult" bit set of its record,
// or nothing when it has no record. Unless a loader is installed (tests install their own), the
// provider is "RavelCli.dll" in the folder of the token "%TalRavel%" (HashProviderDll); without
// it the trust object works on the system's verification alone.
#include <windows.h>

#include <functional>
#include <memory>
#include <optional>

namespace qkVerifyTrust {

struct HashProvider {
    // The "vtresult" bits of the file's record; std::nullopt when the provider cannot answer.
    std::function<std::optional<DWORD>(HANDLE file)> query;

    // Bit 18: the provider gives no verdict on this file.
    static constexpr DWORD kNoVerdict = 0x40000;

    // Accepts or refuses a provider DLL before it is loaded (the trust object's own check).
    using DllCheck = std::function<bool(const wchar_t* path)>;

    // Makes the provider that trust objects load from now on (null: the provider DLL again).
    static void Install(std::function<std::shared_ptr<HashProvider>()> loader);
    // Loads a provider through the installed loader, else from the provider DLL that the check
    // accepts; null when there is none.
    static std::shared_ptr<HashProvider> Load(const DllCheck& checkDll);
};

} // namespace qkVerifyTrust
