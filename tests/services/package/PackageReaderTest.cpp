// The package reader on real programs with packages made by the package writer, and on a table
// of hand-made corrupt packages appended to a real program.
#include "PackageTestSupport.h"

#include "services/package/Tolk_FilePackerEx.h"

#include <cstring>
#include <memory>

using namespace packagetest;
using Tolk::CFilePackerEx;

namespace {

const HRESULT kEof = HRESULT_FROM_WIN32(ERROR_HANDLE_EOF);        // 0x80070026
const HRESULT kBadFormat = HRESULT_FROM_WIN32(ERROR_BAD_FORMAT);  // 0x8007000B
const HRESULT kNotFound = HRESULT_FROM_WIN32(ERROR_NOT_FOUND);    // 0x80070490
const HRESULT kBadExe = HRESULT_FROM_WIN32(ERROR_BAD_EXE_FORMAT); // 0x800700C1
const HRESULT kBadVersion = static_cast<HRESULT>(0x80070309);
const HRESULT kNotInitialized = HRESULT_FROM_WIN32(ERROR_INVALID_STATE); // 0x8007139F

const GUID kOtherType = {0x9A44111C, 0xA2AF, 0x4E8E, {0x9C, 0xD4, 0x69, 0x72, 0x51, 0x03, 0x50, 0xD2}};

// Reads the manifest archive the way the launcher does: stream, offset, size.
HRESULT ExtractManifest(CFilePackerEx& packer, Bytes& out, uint32_t* offsetOut = nullptr)
{
    std::shared_ptr<Tolk::CFileStream> stream;
    uint32_t offset = 0, size = 0;
    const HRESULT hr = packer.ExtractStream(stream, offset, size);
    if (FAILED(hr)) {
        return hr;
    }
    if (offsetOut) {
        *offsetOut = offset;
    }
    out.resize(size);
    if (!stream->SetPosition(offset)) {
        return E_FAIL;
    }
    return size == 0 ? S_OK : stream->ReadExact(out.data(), size);
}

uint32_t EndOfRawData(const Bytes& pe)
{
    const uint32_t nt = *reinterpret_cast<const uint32_t*>(&pe[0x3C]);
    const uint16_t sections = *reinterpret_cast<const uint16_t*>(&pe[nt + 6]);
    const uint16_t optSize = *reinterpret_cast<const uint16_t*>(&pe[nt + 20]);
    const uint32_t last = nt + 24 + optSize + (sections - 1) * 40;
    return *reinterpret_cast<const uint32_t*>(&pe[last + 20]) + *reinterpret_cast<const uint32_t*>(&pe[last + 16]);
}

} // namespace

// ---------------------------------------------------------------------------------------------

struct PackedFile {
    const wchar_t* name;
    const char* what;
    bool packageBehindSignature; // package at E + N, behind the whole certificate table
};

class PackageReaderFixtures : public ::testing::TestWithParam<PackedFile> {};

TEST_P(PackageReaderFixtures, YieldsTheManifestBytes)
{
    const PackedFile& f = GetParam();
    const Bytes manifest = ReadAll(Fixture(L"manifest.json"));
    ASSERT_FALSE(manifest.empty());

    CFilePackerEx packer;
    ASSERT_EQ(packer.Open(Fixture(f.name).c_str()), S_OK) << f.what;
    EXPECT_TRUE(packer.IsPackagePresent());

    const Bytes file = ReadAll(Fixture(f.name));
    const uint32_t e = EndOfRawData(file);
    if (f.packageBehindSignature) {
        const uint32_t n = *reinterpret_cast<const uint32_t*>(&file[e]);
        EXPECT_NE(n, 0u);
        EXPECT_EQ(packer.GetPackageOffset(), e + n);
    } else {
        EXPECT_EQ(packer.GetPackageOffset(), e + 4);
    }

    Bytes got;
    EXPECT_EQ(ExtractManifest(packer, got), S_OK);
    EXPECT_EQ(got, manifest) << f.what;
}

INSTANTIATE_TEST_SUITE_P(Files, PackageReaderFixtures,
                         ::testing::Values(PackedFile{L"v2.exe", "delivered version-2 form, PE32+", false},
                                           PackedFile{L"v5.exe", "version 5, PE32+", false},
                                           PackedFile{L"v2_pe32.exe", "version 2, PE32", false},
                                           PackedFile{L"v5_pe32.exe", "version 5, PE32", false},
                                           PackedFile{L"v5_symbols.exe", "writer dropped the COFF symbol table", false},
                                           PackedFile{L"signed_v2.exe", "signed after packing (version 2)", false},
                                           PackedFile{L"signed_v5.exe", "signed after packing (version 5)", false},
                                           PackedFile{L"signed_after_v5.exe",
                                                      "package behind the whole certificate table", true}));

TEST(PackageReader, DeliveredFormIsByteExact)
{
    const Bytes file = ReadAll(Fixture(L"v2.exe"));
    const Bytes manifest = ReadAll(Fixture(L"manifest.json"));
    const uint32_t e = EndOfRawData(file);
    Builder expected;
    expected.U32(0)
        .Text("pcPB")
        .U32(2)
        .U64(1)
        .U32(49)
        .LegacyRecord(L"VekManifest.js", manifest.size(), 2)
        .Append(manifest);
    ASSERT_EQ(file.size(), e + expected.Get().size());
    EXPECT_TRUE(std::equal(expected.Get().begin(), expected.Get().end(), file.begin() + e));
}

TEST(PackageReader, FilesWithoutPackage)
{
    struct Case {
        const wchar_t* name;
        bool endsAtE;
    } cases[] = {
        {L"plain.exe", true},         // the file ends at E
        {L"signed_plain.exe", false}, // N skips the certificate table, then end of file
        // A whole package at E + N, but inside the declared certificate directory, which the
        // signature's hash leaves out: it is not the signed file's package.
        {L"signed_inner_v5.exe", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << std::string(c.name, c.name + wcslen(c.name)));
        CFilePackerEx packer;
        ASSERT_EQ(packer.Open(Fixture(c.name).c_str()), S_OK);
        EXPECT_FALSE(packer.IsPackagePresent());
        const uint32_t e = EndOfRawData(ReadAll(Fixture(c.name)));
        if (c.endsAtE) {
            EXPECT_EQ(packer.GetPackageOffset(), e);
        }
        Bytes got;
        EXPECT_EQ(ExtractManifest(packer, got), kNotFound);
    }
}

// Hand-made certificate directories around a package behind a real PE32+ program: a package
// counts only where it starts outside the declared directory, whose bytes a signature leaves out.
TEST(PackageReader, PackageInsideTheCertificateDirectoryIsNoPackage)
{
    const Bytes plain = ReadAll(Fixture(L"plain.exe"));
    const uint32_t e = EndOfRawData(plain);
    ASSERT_EQ(e, plain.size());
    const Bytes package = Builder()
                              .Text("pcPB")
                              .U32(5)
                              .U32(1)
                              .Record5(L"VekManifest.js", 2, Tolk::ManifestArchiveType)
                              .Text("{}")
                              .U32(0xBEDA0BED)
                              .Get();
    const uint32_t p = static_cast<uint32_t>(package.size());
    Builder table; // a WIN_CERTIFICATE-shaped table of 16 bytes whose length field fills it
    table.U32(16).U32(0x00020200).U64(0);

    struct Case {
        const char* what;
        Bytes tail;        // everything from E on
        uint32_t dirStart; // relative to E
        uint32_t dirSize;
        bool present;
    };
    const Case cases[] = {
        {"package behind the whole table", Builder().Append(table.Get()).Append(package).Get(), 0, 16, true},
        {"table widened over the package", Builder().Append(table.Get()).Append(package).Get(), 0, 16 + p, false},
        {"table widened over the package's first byte", Builder().Append(table.Get()).Append(package).Get(), 0, 17,
         false},
        {"delivered: u32 0, package, then the table", Builder().U32(0).Append(package).Append(table.Get()).Get(), 4 + p,
         16, true},
        {"delivered, directory declared from the package on",
         Builder().U32(0).Append(package).Append(table.Get()).Get(), 4, p + 16, false},
        {"delivered, directory declared from E on", Builder().U32(0).Append(package).Append(table.Get()).Get(), 0,
         4 + p + 16, false},
        {"empty directory entry at the package", Builder().U32(0).Append(package).Get(), 4, 0, true},
    };
    ScratchFolder scratch(L"vek-pkg-certdir");
    const std::wstring path = scratch.File(L"case.exe");
    const uint32_t nt = *reinterpret_cast<const uint32_t*>(&plain[0x3C]);
    ASSERT_EQ(*reinterpret_cast<const uint16_t*>(&plain[nt + 24]), 0x20B);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Bytes file = plain;
        file.insert(file.end(), c.tail.begin(), c.tail.end());
        const uint32_t entry[2] = {e + c.dirStart, c.dirSize};
        std::memcpy(&file[nt + 0xA8], entry, sizeof(entry));
        WriteAll(path, file);

        CFilePackerEx packer;
        ASSERT_EQ(packer.Open(path.c_str()), S_OK);
        EXPECT_EQ(packer.IsPackagePresent(), c.present);
        Bytes got;
        const HRESULT ex = ExtractManifest(packer, got);
        EXPECT_EQ(static_cast<uint32_t>(ex), static_cast<uint32_t>(c.present ? S_OK : kNotFound));
        if (c.present) {
            EXPECT_EQ(std::string(got.begin(), got.end()), "{}");
        }
    }
}

TEST(PackageReader, OpenArguments)
{
    ScratchFolder scratch(L"vek-pkg-args");
    WriteAll(scratch.File(L"text.exe"), Bytes{'h', 'e', 'l', 'l', 'o'});
    WriteAll(scratch.File(L"empty.exe"), Bytes{});

    CFilePackerEx packer;
    EXPECT_EQ(packer.Open(nullptr), E_INVALIDARG);
    EXPECT_EQ(packer.Open(L""), E_INVALIDARG);
    EXPECT_TRUE(FAILED(packer.Open(scratch.Path().c_str()))) << "a folder is not a source file";
    EXPECT_TRUE(FAILED(packer.Open(scratch.File(L"missing.exe").c_str())));
    EXPECT_EQ(packer.Open(scratch.File(L"text.exe").c_str()), kBadExe);
    packer.Close();
    EXPECT_EQ(packer.Open(scratch.File(L"empty.exe").c_str()), kBadExe);
    packer.Close();
    EXPECT_EQ(packer.Open(Fixture(L"manifest.json").c_str()), kBadExe);
}

TEST(PackageReader, ExtractBeforeOpenAndAfterClose)
{
    CFilePackerEx packer;
    Bytes got;
    EXPECT_EQ(ExtractManifest(packer, got), kNotInitialized);
    ASSERT_EQ(packer.Open(Fixture(L"v5.exe").c_str()), S_OK);
    EXPECT_EQ(ExtractManifest(packer, got), S_OK);
    packer.Close();
    EXPECT_FALSE(packer.IsPackagePresent());
    EXPECT_EQ(packer.GetPackageOffset(), 0u);
    EXPECT_EQ(ExtractManifest(packer, got), kNotInitialized);
}

TEST(PackageReader, StreamOutlivesThePacker)
{
    std::shared_ptr<Tolk::CFileStream> stream;
    uint32_t offset = 0, size = 0;
    {
        CFilePackerEx packer;
        ASSERT_EQ(packer.Open(Fixture(L"v2.exe").c_str()), S_OK);
        ASSERT_EQ(packer.ExtractStream(stream, offset, size), S_OK);
    }
    Bytes got(size);
    ASSERT_TRUE(stream->SetPosition(offset));
    EXPECT_EQ(stream->ReadExact(got.data(), size), S_OK);
    EXPECT_EQ(got, ReadAll(Fixture(L"manifest.json")));
}

// ---------------------------------------------------------------------------------------------
// Hand-made packages behind a real program that ends at E.

struct Corruption {
    const char* what;
    Bytes tail;          // everything from E on
    HRESULT open;        // result of Open
    HRESULT extract;     // result of ExtractStream when Open succeeded
    std::string content; // the manifest's bytes when extract is S_OK
};

class PackageCorruptions : public ::testing::Test {
protected:
    static std::vector<Corruption> Cases()
    {
        const std::wstring id = L"VekManifest.js";
        const GUID& mt = Tolk::ManifestArchiveType;
        std::vector<Corruption> c;
        auto v5 = [] {
            Builder b;
            b.U32(0).Text("pcPB").U32(5);
            return b;
        };
        auto v2 = [] {
            Builder b;
            b.U32(0).Text("pcPB").U32(2);
            return b;
        };

        c.push_back({"no magic behind a zero size", Builder().U32(0).Text("XXXX").U32(5).Get(), kBadFormat, 0, ""});
        c.push_back({"version 6", Builder().U32(0).Text("pcPB").U32(6).U32(0).Get(), kBadVersion, 0, ""});
        c.push_back({"only the magic", Builder().U32(0).Text("pcPB").Get(), kEof, 0, ""});
        c.push_back({"version 5 without a count", v5().Get(), kEof, 0, ""});
        c.push_back({"legacy without records size", v2().U64(1).Get(), kEof, 0, ""});
        c.push_back({"version 5, no archives", v5().U32(0).Get(), S_OK, kNotFound, ""});
        c.push_back({"version 5, huge count", v5().U32(0xFFFFFFFF).Record5(id, 2, mt).Text("{}").U32(0xBEDA0BED).Get(),
                     kEof, 0, ""});
        c.push_back({"version 5, huge id length", v5().U32(1).U32(0x7FFFFFFF).Wide(id).Get(), kEof, 0, ""});
        c.push_back({"version 5, archive past the end",
                     v5().U32(1).Record5(id, 1000, mt).Text("{}").U32(0xBEDA0BED).Get(), kEof, 0, ""});
        c.push_back({"version 5, wrong end marker", v5().U32(1).Record5(id, 2, mt).Text("{}").U32(0xBEDA0BEE).Get(),
                     kBadFormat, 0, ""});
        c.push_back({"version 5, marker cut short", v5().U32(1).Record5(id, 2, mt).Text("{}").U8(0xED).U8(0x0B).Get(),
                     kEof, 0, ""});
        c.push_back({"version 5, id differs in case",
                     v5().U32(1).Record5(L"vekmanifest.js", 2, mt).Text("{}").U32(0xBEDA0BED).Get(), S_OK, kNotFound,
                     ""});
        c.push_back({"version 5, right id, other type",
                     v5().U32(1).Record5(id, 2, kOtherType).Text("{}").U32(0xBEDA0BED).Get(), S_OK, kNotFound, ""});
        c.push_back({"version 5, first of two manifests wins",
                     v5().U32(3)
                         .Record5(L"other", 1, mt)
                         .Record5(id, 2, mt)
                         .Record5(id, 3, mt)
                         .Text("x")
                         .U32(0xBEDA0BED)
                         .Text("{}")
                         .U32(0xBEDA0BED)
                         .Text("[1]")
                         .U32(0xBEDA0BED)
                         .Get(),
                     S_OK, S_OK, "{}"});
        c.push_back({"version 5, empty id is no manifest", v5().U32(1).Record5(L"", 0, mt).U32(0xBEDA0BED).Get(), S_OK,
                     kNotFound, ""});
        c.push_back({"legacy, first tag not 8", v2().U64(1).U32(49).U8(9).U32(30).Wide(id).U8(0).U8(0).Get(),
                     kBadFormat, 0, ""});
        c.push_back({"legacy, size tag not 4",
                     v2().U64(1).U32(49).U8(8).U32(30).Wide(id).U8(0).U8(0).U8(5).U64(2).U8(3).U32(2).Text("{}").Get(),
                     kBadFormat, 0, ""});
        c.push_back({"legacy, type tag not 3",
                     v2().U64(1).U32(49).U8(8).U32(30).Wide(id).U8(0).U8(0).U8(4).U64(2).U8(7).U32(2).Text("{}").Get(),
                     kBadFormat, 0, ""});
        c.push_back({"legacy type index 9 is carried", v2().U64(1).U32(49).LegacyRecord(id, 2, 9).Text("{}").Get(),
                     S_OK, kNotFound, ""});
        c.push_back(
            {"legacy type index 10", v2().U64(1).U32(49).LegacyRecord(id, 2, 10).Text("{}").Get(), kBadFormat, 0, ""});
        c.push_back({"legacy, odd id length",
                     v2().U64(1).U32(49).U8(8).U32(29).Wide(id).U8(0).U8(4).U64(2).U8(3).U32(2).Text("{}").Get(),
                     kBadFormat, 0, ""});
        c.push_back({"legacy, id length past the end", v2().U64(1).U32(49).U8(8).U32(0x7FFFFFFE).Wide(id).Get(),
                     kBadFormat, 0, ""});
        c.push_back({"legacy, zero id length",
                     v2().U64(1).U32(49).U8(8).U32(0).U8(4).U64(2).U8(3).U32(2).Text("{}").Get(), kBadFormat, 0, ""});
        c.push_back({"legacy, id without NUL",
                     v2().U64(1).U32(49).U8(8).U32(28).Wide(id).U8(4).U64(2).U8(3).U32(2).Text("{}").Get(), kBadFormat,
                     0, ""});
        c.push_back({"legacy, id cut at an inner NUL",
                     v2().U64(1).U32(0).LegacyRecord(id + std::wstring(1, L'\0') + L"junk", 2, 2).Text("{}").Get(),
                     S_OK, S_OK, "{}"});
        c.push_back({"legacy, archive past the end", v2().U64(1).U32(49).LegacyRecord(id, 100, 2).Text("{}").Get(),
                     kBadFormat, 0, ""});
        c.push_back({"legacy, size keeps its low 32 bits",
                     v2().U64(1).U32(49).LegacyRecord(id, 0x1'0000'0002ull, 2).Text("{}").Get(), S_OK, S_OK, "{}"});
        c.push_back({"legacy, count keeps its low 32 bits",
                     v2().U64(0x1'0000'0001ull).U32(49).LegacyRecord(id, 2, 2).Text("{}").Get(), S_OK, S_OK, "{}"});
        c.push_back({"legacy version 0",
                     Builder().U32(0).Text("pcPB").U32(0).U64(1).U32(49).LegacyRecord(id, 2, 2).Text("{}").Get(), S_OK,
                     S_OK, "{}"});
        c.push_back(
            {"size field past the end of the file", Builder().U32(0x10000).Text("pcPB").Get(), S_OK, kNotFound, ""});
        c.push_back({"size field cut short: no package", Builder().U8(0).U8(0).Get(), S_OK, kNotFound, ""});
        return c;
    }
};

TEST_F(PackageCorruptions, EachGivesItsResult)
{
    const Bytes plain = ReadAll(Fixture(L"plain.exe"));
    ASSERT_EQ(EndOfRawData(plain), plain.size());
    ScratchFolder scratch(L"vek-pkg-corrupt");
    const std::wstring path = scratch.File(L"case.exe");
    for (const auto& c : Cases()) {
        SCOPED_TRACE(c.what);
        Bytes file = plain;
        file.insert(file.end(), c.tail.begin(), c.tail.end());
        WriteAll(path, file);
        CFilePackerEx packer;
        const HRESULT hr = packer.Open(path.c_str());
        EXPECT_EQ(static_cast<uint32_t>(hr), static_cast<uint32_t>(c.open));
        Bytes got;
        const HRESULT ex = ExtractManifest(packer, got);
        if (SUCCEEDED(c.open)) {
            EXPECT_EQ(static_cast<uint32_t>(ex), static_cast<uint32_t>(c.extract));
            if (ex == S_OK) {
                EXPECT_EQ(std::string(got.begin(), got.end()), c.content);
            }
        } else {
            // A header that failed to parse is dropped.
            EXPECT_EQ(static_cast<uint32_t>(ex), static_cast<uint32_t>(kNotInitialized));
        }
    }
}

// ---------------------------------------------------------------------------------------------
// The writer side: a version-5 header written by Serialize reads back unchanged.

TEST(PackageWriter, SerializedHeaderReadsBack)
{
    CFilePackerEx::CPackageHeader header(0);
    CFilePackerEx::CArchiveInfo a, m;
    a.id = L"readme";
    a.size = 3;
    a.type = kOtherType;
    m.id = Tolk::ManifestArchiveId;
    m.size = 2;
    m.type = Tolk::ManifestArchiveType;
    header.records = {a, m};
    Bytes out;
    ASSERT_TRUE(header.Serialize(&out));
    EXPECT_FALSE(header.Serialize(nullptr));
    CFilePackerEx::CArchiveInfo unnamed;
    EXPECT_FALSE(unnamed.Serialize(&out));

    Bytes file = ReadAll(Fixture(L"plain.exe"));
    Builder tail;
    tail.U32(0).Append(out).Text("abc").U32(0xBEDA0BED).Text("{}").U32(0xBEDA0BED);
    file.insert(file.end(), tail.Get().begin(), tail.Get().end());
    ScratchFolder scratch(L"vek-pkg-writer");
    WriteAll(scratch.File(L"w.exe"), file);

    CFilePackerEx packer;
    ASSERT_EQ(packer.Open(scratch.File(L"w.exe").c_str()), S_OK);
    ASSERT_NE(packer.GetHeader(), nullptr);
    EXPECT_EQ(packer.GetHeader()->version, 5u);
    ASSERT_EQ(packer.GetHeader()->records.size(), 2u);
    EXPECT_EQ(packer.GetHeader()->records[0].id, L"readme");
    EXPECT_TRUE(IsEqualGUID(packer.GetHeader()->records[0].type, kOtherType));
    Bytes got;
    EXPECT_EQ(ExtractManifest(packer, got), S_OK);
    EXPECT_EQ(std::string(got.begin(), got.end()), "{}");
}
