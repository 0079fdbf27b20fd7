#include "services/trust/SignerNames.h"

#include <mutex>

#include "common/system/qkEncryptedString.h"

namespace qkVerifyTrust {

namespace {

// A text as the program image stores it: every byte complemented (qkEncryptedString's cipher),
// worked out at compile time so that the plain text never stands in the file.
template <size_t N>
struct EncipheredText {
    BYTE bytes[N - 1];
    constexpr explicit EncipheredText(const char (&text)[N]) : bytes{}
    {
        for (size_t i = 0; i + 1 < N; ++i)
            bytes[i] = static_cast<BYTE>(~static_cast<BYTE>(text[i]));
    }
};

constexpr EncipheredText kKeelCore("Keel Core");
constexpr EncipheredText kKeelCoreJoined("KeelCore");
constexpr EncipheredText kKeelCoreLtd("Keel Core Ltd");
constexpr EncipheredText kKeelCoreHardware("Keel Core Hardware");
constexpr EncipheredText kKeelSoftware("Keel Software");
constexpr EncipheredText kKeelSoftwareInc("Keel Software Inc.");

std::wstring Plain(qkEncryptedString& text)
{
    return text.Get() ? text.GetText() : std::wstring(qkEncryptedString::GetEmpty());
}

std::mutex g_signerNamesLock;
SignerNames& Stored()
{
    static SignerNames names = SignerNames::Defaults();
    return names;
}
} // namespace

SignerNames SignerNames::Defaults()
{
    // Held enciphered; a name that cannot be produced compares as the empty text.
    static qkEncryptedString keelCore(kKeelCore.bytes, sizeof kKeelCore.bytes);
    static qkEncryptedString keelCoreJoined(kKeelCoreJoined.bytes, sizeof kKeelCoreJoined.bytes);
    static qkEncryptedString keelCoreLtd(kKeelCoreLtd.bytes, sizeof kKeelCoreLtd.bytes);
    static qkEncryptedString keelCoreHardware(kKeelCoreHardware.bytes, sizeof kKeelCoreHardware.bytes);
    static qkEncryptedString keelSoftware(kKeelSoftware.bytes, sizeof kKeelSoftware.bytes);
    static qkEncryptedString keelSoftwareInc(kKeelSoftwareInc.bytes, sizeof kKeelSoftwareInc.bytes);
    SignerNames n;
    n.level3Unit = Plain(keelCore);
    n.publisher1Name = Plain(keelSoftware);
    n.publisher1Organisation = Plain(keelSoftwareInc);
    n.publisher2NameA = Plain(keelCore);
    n.publisher2NameB = Plain(keelCoreJoined);
    n.publisher2Organisation = Plain(keelCore);
    n.publisher2OrganisationAlt = Plain(keelCoreLtd);
    n.level4First = Plain(keelCore);
    n.level4Second = Plain(keelCoreHardware);
    n.level5Name = Plain(keelSoftware);
    return n;
}

SignerNames SignerNames::Current()
{
    std::lock_guard guard(g_signerNamesLock);
    return Stored();
}

void SignerNames::SetCurrent(const SignerNames& names)
{
    std::lock_guard guard(g_signerNamesLock);
    Stored() = names;
}

void SignerNames::ResetToDefaults()
{
    SetCurrent(Defaults());
}

} // namespace qkVerifyTrust
