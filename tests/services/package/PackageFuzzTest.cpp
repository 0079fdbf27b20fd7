// Deterministic mutations of valid packages: every one must end in a result code, and whatever
// the reader accepts must lie inside the file.
#include "PackageTestSupport.h"

#include "services/package/Tolk_FilePackerEx.h"

#include <cstring>
#include <random>
#include <set>

using namespace packagetest;
using Tolk::CFilePackerEx;

namespace {

// The results a mutated package may give; anything else is a reader fault.
const std::set<uint32_t> kAllowed = {
    S_OK,
    static_cast<uint32_t>(HRESULT_FROM_WIN32(ERROR_HANDLE_EOF)),
    static_cast<uint32_t>(HRESULT_FROM_WIN32(ERROR_BAD_FORMAT)),
    static_cast<uint32_t>(HRESULT_FROM_WIN32(ERROR_BAD_EXE_FORMAT)),
    0x80070309u,
};

enum class Mutation { FlipBytes, Cut, HugeValue, Count };

Bytes Mutate(const Bytes& original, size_t e, std::mt19937& rng, Mutation kind)
{
    Bytes file = original;
    const size_t span = file.size() - e;
    std::uniform_int_distribution<size_t> where(e, file.size() - 1);
    switch (kind) {
    case Mutation::FlipBytes: {
        const int flips = 1 + static_cast<int>(rng() % 4);
        for (int i = 0; i < flips; ++i) {
            file[where(rng)] ^= static_cast<uint8_t>(1u << (rng() % 8));
        }
        break;
    }
    case Mutation::Cut:
        file.resize(e + rng() % span);
        break;
    case Mutation::HugeValue: {
        // A length, count, size or offset field overwritten with a large or off-by-one value.
        static const uint32_t values[] = {0xFFFFFFFFu,
                                          0x7FFFFFFFu,
                                          0x80000000u,
                                          0xFFFFFFFEu,
                                          0x10000u,
                                          static_cast<uint32_t>(span),
                                          static_cast<uint32_t>(span + 1),
                                          1u,
                                          0u};
        const size_t at = where(rng);
        const uint32_t v = values[rng() % (sizeof(values) / sizeof(values[0]))];
        for (size_t i = 0; i < 4 && at + i < file.size(); ++i) {
            file[at + i] = static_cast<uint8_t>(v >> (8 * i));
        }
        break;
    }
    case Mutation::Count:
        break;
    }
    return file;
}

// The certificate directory entry (offset, size) of a PE32 or PE32+ file.
std::pair<uint32_t, uint32_t> CertificateDirectory(const Bytes& pe)
{
    uint32_t nt = 0;
    std::memcpy(&nt, &pe[0x3C], 4);
    uint16_t magic = 0;
    std::memcpy(&magic, &pe[nt + 24], 2);
    uint32_t entry[2] = {};
    std::memcpy(entry, &pe[nt + (magic == 0x10B ? 0x98 : 0xA8)], sizeof(entry));
    return {entry[0], entry[1]};
}

} // namespace

TEST(PackageFuzz, MutatedPackagesEndInAResultCode)
{
    const size_t e = ReadAll(Fixture(L"plain.exe")).size(); // the fixtures share this prefix
    ScratchFolder scratch(L"vek-pkg-fuzz");
    const std::wstring path = scratch.File(L"mutant.exe");
    std::mt19937 rng(20240605);
    int opened = 0, extracted = 0;
    const wchar_t* sources[] = {L"v2.exe", L"v5.exe", L"signed_v5.exe", L"signed_after_v5.exe", L"signed_inner_v5.exe"};
    for (const wchar_t* source : sources) {
        const Bytes original = ReadAll(Fixture(source));
        ASSERT_GT(original.size(), e);
        for (int i = 0; i < 900; ++i) {
            const auto kind = static_cast<Mutation>(i % static_cast<int>(Mutation::Count));
            const Bytes file = Mutate(original, e, rng, kind);
            WriteAll(path, file);

            CFilePackerEx packer;
            const HRESULT hr = packer.Open(path.c_str());
            ASSERT_TRUE(kAllowed.count(static_cast<uint32_t>(hr)))
                << "unexpected result 0x" << std::hex << hr << " for mutation " << std::dec << i;
            if (FAILED(hr)) {
                continue;
            }
            ++opened;
            std::shared_ptr<Tolk::CFileStream> stream;
            uint32_t offset = 0, size = 0;
            const HRESULT ex = packer.ExtractStream(stream, offset, size);
            if (ex == HRESULT_FROM_WIN32(ERROR_NOT_FOUND)) {
                continue;
            }
            ASSERT_EQ(ex, S_OK);
            ++extracted;
            // What the reader accepted lies inside the file, outside the declared certificate
            // directory, and can be read whole.
            ASSERT_LE(uint64_t{offset} + size, file.size()) << "mutation " << i;
            const auto [certOffset, certSize] = CertificateDirectory(file);
            if (certSize != 0 && size != 0) {
                ASSERT_TRUE(uint64_t{offset} + size <= certOffset || offset >= uint64_t{certOffset} + certSize)
                    << "mutation " << i;
            }
            Bytes data(size);
            ASSERT_TRUE(stream->SetPosition(offset));
            if (size != 0) {
                ASSERT_EQ(stream->ReadExact(data.data(), size), S_OK);
            }
            ASSERT_TRUE(std::equal(data.begin(), data.end(), file.begin() + offset));
        }
    }
    // The mutations must leave some packages readable, or the test would prove nothing.
    EXPECT_GT(opened, 100);
    EXPECT_GT(extracted, 50);
    std::printf("fuzz: %d opened, %d with a manifest\n", opened, extracted);
}
