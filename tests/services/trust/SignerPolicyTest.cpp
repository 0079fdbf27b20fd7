// The signer policy on the certificates of the signing fixtures.
#include <gtest/gtest.h>

#include <memory>

#include "services/trust/SignerPolicy.h"
#include "services/trust/TrustTestSupport.h"

using qkVerifyTrust::SignerNames;
using qkVerifyTrust::SignerPolicy;

namespace {
struct CertFree {
    void operator()(PCCERT_CONTEXT c) const { CertFreeCertificateContext(c); }
};
using CertPtr = std::unique_ptr<const CERT_CONTEXT, CertFree>;

CertPtr Load(const wchar_t* signer)
{
    CertPtr cert(trust_test::LoadCertificate(signer));
    EXPECT_TRUE(cert) << "fixture certificate missing: " << std::string(signer, signer + wcslen(signer));
    return cert;
}
} // namespace

TEST(SignerPolicyTest, SignersByLevel)
{
    struct Case {
        const wchar_t* signer;
        DWORD levels[5]; // expected result at levels 1..5
    } cases[] = {
        {L"level3", {1, 1, 1, 3, 3}},      {L"level4", {1, 1, 3, 1, 3}},     {L"level5", {1, 1, 3, 3, 1}},
        {L"other", {1, 1, 3, 3, 3}},       {L"nocodesign", {3, 3, 3, 3, 3}}, // no code-signing usage, not the alternative signer
        {L"alternative", {1, 1, 3, 3, 3}}, // no usage list, but its whole subject is the alternative signer's
    };
    const SignerPolicy policy(trust_test::TestNames());
    for (const Case& c : cases) {
        CertPtr cert = Load(c.signer);
        if (!cert)
            continue;
        for (DWORD level = 1; level <= 5; ++level) {
            BYTE sc = 9, hq = 9;
            DWORD status = 0;
            EXPECT_EQ(policy.CheckSigner(cert.get(), level, 1, &sc, &hq, &status), c.levels[level - 1])
                << std::string(c.signer, c.signer + wcslen(c.signer)) << " at level " << level;
            EXPECT_EQ(sc, 0);
            EXPECT_EQ(hq, 0);
        }
    }
}

TEST(SignerPolicyTest, StatusBits)
{
    const SignerPolicy policy(trust_test::TestNames());
    CertPtr level3 = Load(L"level3");
    CertPtr level4 = Load(L"level4");
    CertPtr none = Load(L"nocodesign");
    ASSERT_TRUE(level3 && level4 && none);
    DWORD status = 0;
    policy.CheckSigner(level3.get(), 5, 1, nullptr, nullptr, &status);
    EXPECT_EQ(status, 0x0002u | 0x0004u | 0x0008u);
    status = 0;
    policy.CheckSigner(level4.get(), 1, 1, nullptr, nullptr, &status);
    EXPECT_EQ(status, 0x0002u | 0x0004u | 0x0010u);
    status = 0;
    policy.CheckSigner(none.get(), 3, 1, nullptr, nullptr, &status);
    EXPECT_EQ(status, 0u);
}

TEST(SignerPolicyTest, NameVariants)
{
    CertPtr level3 = Load(L"level3");
    CertPtr level4 = Load(L"level4");
    ASSERT_TRUE(level3 && level4);
    struct Case {
        const char* what;
        void (*change)(SignerNames&);
        PCCERT_CONTEXT cert;
        DWORD level, expected;
    } cases[] = {
        {"publisher pair CN=O", [](SignerNames& n) { n.level3Unit.clear(); }, level3.get(), 3, 1},
        {"publisher pair, second organisation",
         [](SignerNames& n) {
             n.level3Unit.clear();
             n.publisher1Organisation = L"Vek Test Publisher";
             n.publisher1Name = L"Vek Test Publisher";
         },
         level3.get(), 3, 1},
        {"second publisher by its second CN",
         [](SignerNames& n) {
             n.level3Unit.clear();
             n.publisher1Name = L"Nobody";
             n.publisher2NameB = L"Vek Test Publisher";
             n.publisher2OrganisationAlt = L"Vek Test Publisher";
         },
         level3.get(), 3, 1},
        {"publisher differing in case",
         [](SignerNames& n) {
             n.level3Unit.clear();
             n.publisher1Name = L"vek test publisher";
         },
         level3.get(), 3, 3},
        {"unit differing in case",
         [](SignerNames& n) {
             n.level3Unit = L"VEK TEST UNIT";
             n.publisher1Name = L"Nobody";
         },
         level3.get(), 3, 3},
        {"level 4 by OU equal to the first value, O differing",
         [](SignerNames& n) {
             n.level4First = L"Vek Test Drivers";
             n.level4Second = L"Nothing";
         },
         level4.get(), 4, 1},
        {"level 4 by O equal to the first value", [](SignerNames& n) { n.level4Second = L"Nothing"; }, level4.get(), 4,
         1},
        {"level 4 with neither",
         [](SignerNames& n) {
             n.level4First = L"Nothing";
             n.level4Second = L"Nothing else";
         },
         level4.get(), 4, 3},
        {"level 5 name of the level-3 signer", [](SignerNames& n) { n.level5Name = L"Vek Test Publisher"; },
         level3.get(), 5, 1},
        {"no names configured", [](SignerNames& n) { n = SignerNames(); }, level3.get(), 3, 3},
    };
    for (const Case& c : cases) {
        SignerNames names = trust_test::TestNames();
        c.change(names);
        EXPECT_EQ(SignerPolicy(names).CheckSigner(c.cert, c.level, 1, nullptr, nullptr, nullptr), c.expected) << c.what;
    }
}

TEST(SignerPolicyTest, InvalidArguments)
{
    CertPtr level3 = Load(L"level3");
    ASSERT_TRUE(level3);
    const SignerPolicy policy(trust_test::TestNames());
    EXPECT_EQ(policy.CheckSigner(nullptr, 3, 1, nullptr, nullptr, nullptr), 5u);
    EXPECT_EQ(policy.CheckSigner(level3.get(), 0, 1, nullptr, nullptr, nullptr), 5u);
    EXPECT_EQ(policy.CheckSigner(level3.get(), 3, 0, nullptr, nullptr, nullptr), 5u);
}
