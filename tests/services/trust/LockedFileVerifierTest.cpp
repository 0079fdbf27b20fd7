// The signer-subject check and the locked verifier hold their file open for reading only.
#include <gtest/gtest.h>

#include "services/trust/CLockedFileVerifier.h"
#include "services/trust/CSignerSubjectCheck.h"
#include "services/trust/TrustTestSupport.h"

using trust_test::Fixture;
using trust_test::kPlugin;

namespace {
std::wstring Signed(const wchar_t* signer)
{
    return Fixture(std::wstring(signer) + L"\\" + kPlugin);
}

// Opens the file for writing: the Win32 error, or 0 when it could.
DWORD OpenForWriting(const std::wstring& path, DWORD share = FILE_SHARE_READ | FILE_SHARE_WRITE)
{
    HANDLE h = CreateFileW(path.c_str(), GENERIC_WRITE, share, nullptr, OPEN_EXISTING, 0, nullptr);
    if (h == INVALID_HANDLE_VALUE)
        return GetLastError();
    CloseHandle(h);
    return 0;
}
bool CanRead(const std::wstring& path)
{
    HANDLE h = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    if (h == INVALID_HANDLE_VALUE)
        return false;
    CloseHandle(h);
    return true;
}
} // namespace

TEST(SignerSubjectCheckTest, SubjectsOfSignedFiles)
{
    struct Case {
        const wchar_t* file;
        const wchar_t* expected;
        HRESULT result;
    } cases[] = {
        {L"level3", L"Vek Test Publisher", S_OK},    {L"level5", L"Vek Test Five", S_OK},
        {L"level3", L"vek test publisher", E_FAIL}, // case matters
        {L"level3", L"Vek Test Publisher ", E_FAIL}, {L"other", L"Vek Test Publisher", E_FAIL},
        {L"tampered", L"Vek Test Publisher", S_OK}, // the check reads the signer, not the signature's validity
    };
    for (const Case& c : cases) {
        vek::CSignerSubjectCheck check(Signed(c.file).c_str());
        EXPECT_EQ(check.Check(c.expected), c.result);
    }
    vek::CSignerSubjectCheck unsignedCheck(Signed(L"unsigned").c_str());
    const HRESULT hr = unsignedCheck.Check(L"Vek Test Publisher");
    EXPECT_TRUE(FAILED(hr));
    EXPECT_NE(hr, E_FAIL);
    vek::CSignerSubjectCheck missing(Fixture(L"no-such-file.dll").c_str());
    EXPECT_EQ(missing.Check(L"x"), HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND));
}

TEST(SignerSubjectCheckTest, FileStaysOpenForReadingOnly)
{
    trust_test::ScratchDir scratch;
    const std::wstring copy = scratch.File(L"subject.dll");
    ASSERT_TRUE(CopyFileW(Signed(L"level3").c_str(), copy.c_str(), FALSE));
    {
        vek::CSignerSubjectCheck check(copy.c_str());
        EXPECT_EQ(check.Check(L"Vek Test Publisher"), S_OK);
        EXPECT_EQ(OpenForWriting(copy), static_cast<DWORD>(ERROR_SHARING_VIOLATION));
        EXPECT_TRUE(CanRead(copy));
    }
    EXPECT_EQ(OpenForWriting(copy), 0u);
}

TEST(LockedFileVerifierTest, StrictAndNonStrictVerification)
{
    trust_test::ScopedSignerNames names;
    struct Case {
        const wchar_t* file;
        bool strict;
        HRESULT result;
    } cases[] = {
        {L"level3", true, S_OK},
        {L"level3", false, S_OK},
        {L"level4", true, TRUST_E_SUBJECT_NOT_TRUSTED}, // trusted at level 4 only
        {L"level4", false, S_OK},
        {L"level5", false, TRUST_E_SUBJECT_NOT_TRUSTED},
        {L"unsigned", false, TRUST_E_SUBJECT_NOT_TRUSTED},
        {L"tampered", false, TRUST_E_SUBJECT_NOT_TRUSTED},
        {L"untrusted", false, TRUST_E_SUBJECT_NOT_TRUSTED},
    };
    for (const Case& c : cases) {
        CLockedFileVerifier verifier;
        EXPECT_EQ(verifier.VerifyFile(Signed(c.file).c_str(), c.strict), c.result)
            << std::string(c.file, c.file + wcslen(c.file)) << (c.strict ? " strict" : "");
        EXPECT_TRUE(verifier.IsHoldingFile());
    }
    CLockedFileVerifier verifier;
    EXPECT_EQ(verifier.VerifyFile(Fixture(L"no-such-file.dll").c_str(), false),
              HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND));
    EXPECT_FALSE(verifier.IsHoldingFile());
}

TEST(LockedFileVerifierTest, HoldsTheFileWhileItLives)
{
    trust_test::ScopedSignerNames names;
    trust_test::ScratchDir scratch;
    const std::wstring first = scratch.File(L"held.dll");
    const std::wstring second = scratch.File(L"next.dll");
    ASSERT_TRUE(CopyFileW(Signed(L"level3").c_str(), first.c_str(), FALSE));
    ASSERT_TRUE(CopyFileW(Signed(L"unsigned").c_str(), second.c_str(), FALSE));
    {
        CLockedFileVerifier verifier;
        EXPECT_EQ(verifier.VerifyFile(first.c_str(), true), S_OK);
        EXPECT_EQ(OpenForWriting(first), static_cast<DWORD>(ERROR_SHARING_VIOLATION));
        EXPECT_TRUE(CanRead(first));
        EXPECT_FALSE(DeleteFileW(first.c_str()));
        // The next verification lets the first file go, even when it fails.
        EXPECT_EQ(verifier.VerifyFile(second.c_str(), true), TRUST_E_SUBJECT_NOT_TRUSTED);
        EXPECT_EQ(OpenForWriting(first), 0u);
        EXPECT_EQ(OpenForWriting(second), static_cast<DWORD>(ERROR_SHARING_VIOLATION));
    }
    EXPECT_EQ(OpenForWriting(second), 0u);

    // A file open elsewhere for writing cannot be held.
    HANDLE writer = CreateFileW(first.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(writer, INVALID_HANDLE_VALUE);
    CLockedFileVerifier verifier;
    EXPECT_EQ(verifier.VerifyFile(first.c_str(), false), HRESULT_FROM_WIN32(ERROR_SHARING_VIOLATION));
    CloseHandle(writer);
}
