#pragma once
// The production hash provider: "RavelCli.dll" in the folder that the token "%TalRavel%" names.
// The DLL is loaded only when the caller's check accepts its file (the trust object checks it
// itself: the common trusted loader would create another trust object, which would load the
// provider again); its object {7D583EDC-...} is kept only when the provider's own record reports
// "vtresult" as a number with both low bits set. Every failure is traced and gives no provider.
#include <memory>

#include "services/trust/HashProvider.h"

namespace qkVerifyTrust {

class HashProviderDll {
public:
    static constexpr const wchar_t* kFolderToken = L"%TalRavel%";
    static constexpr const wchar_t* kFileName = L"RavelCli.dll";

    static std::shared_ptr<HashProvider> Load(const HashProvider::DllCheck& checkDll);
};

} // namespace qkVerifyTrust
