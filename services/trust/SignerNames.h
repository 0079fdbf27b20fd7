#pragma once
// The signer names that the signer policy expects, per trust level. They are configuration of the
// deployment: the defaults name the maker's own signers; tests replace them with their own.
#include <string>

namespace qkVerifyTrust {

struct SignerNames {
    // Full subject of the alternative signer (accepted without the code-signing usage), in the
    // system's object-identifier string form with one attribute per line ("2.5.4.3=...\r\n...").
    // Empty: no alternative signer.
    std::wstring alternativeSubject;
    // Level 3: an OU that passes alone, else a publisher pair of CN and O.
    std::wstring level3Unit;
    std::wstring publisher1Name; // CN; O must equal it or publisher1Organisation
    std::wstring publisher1Organisation;
    std::wstring publisher2NameA; // either CN ...
    std::wstring publisher2NameB;
    std::wstring publisher2Organisation; // ... with this O, or the further one
    std::wstring publisher2OrganisationAlt;
    // Level 4: first value for OU and O, second value for OU.
    std::wstring level4First;
    std::wstring level4Second;
    // Level 5: one value for both CN and O.
    std::wstring level5Name;

    static SignerNames Defaults();
    // The names in force for the process (the defaults until replaced).
    static SignerNames Current();
    static void SetCurrent(const SignerNames& names);
    static void ResetToDefaults();
};

} // namespace qkVerifyTrust
