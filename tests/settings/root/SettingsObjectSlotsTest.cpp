// The object slots of both settings objects (the store's and the older format's) and the name
// objects of the name lists: one table of slots, each read for a present, a missing and a
// wrong-typed value, each write given the right, the wrong and no object.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include <wrl/client.h>

#include "ManagerTestSupport.h"
#include "common/persist/IMemoryObject.h"
#include "common/persist/IStringObject.h"
#include "common/persist/qkTalMemoryImpl.h"
#include "common/persist/qkTalStringImpl.h"
#include "common/system/qkPathExpansion.h"
#include "settings/legacy/LegacySettings.h"
#include "settings/objects/CSettings.h"
#include "settings/objects/CValueNameList.h"
#include "settings/store/qkSettingsResult.h"

using Microsoft::WRL::ComPtr;
using namespace qkSettings;
using settingstest::R;

namespace {

// The names below are plain ASCII, so a byte per unit is their ANSI form.
std::string Narrow(const wchar_t* text)
{
    return std::string(text, text + std::wcslen(text));
}

const BYTE kBlob[3] = {1, 2, 3};
const wchar_t kExpandable[] = L"%SLOTTEST%\\x";
const wchar_t kExpanded[] = L"C:\\slot\\x";

// Path tokens through a resolver of the test's own, so that expansion needs no installation.
BOOL ResolveTestToken(const wchar_t* name, std::wstring& value)
{
    if (std::wstring(name) != L"slottest")
        return FALSE;
    value = L"C:\\slot";
    return TRUE;
}

struct TestTokens {
    TestTokens() { qkPathExpansion::SetTokenResolver(ResolveTestToken); }
    ~TestTokens() { qkPathExpansion::SetTokenResolver(nullptr); }
};
const wchar_t kUnexpandable[] = L"ab%cd";

struct ObjectKind {
    const char* label;
    std::function<ComPtr<ISettings>()> make;
    // The older format's string object slots refuse an out pointer that already holds one.
    bool emptyOutRequired;
};

ComPtr<ISettings> Seeded(ComPtr<ISettings> s)
{
    EXPECT_EQ(R(result::kOk), s->SetString(L"Text", kExpandable));
    EXPECT_EQ(R(result::kOk), s->SetString(L"Bad", kUnexpandable));
    EXPECT_EQ(R(result::kOk), s->SetBinary(L"Blob", kBlob, sizeof(kBlob)));
    EXPECT_EQ(R(result::kOk), s->SetDword(L"Num", 7));
    return s;
}

const std::vector<ObjectKind>& Kinds()
{
    static const std::vector<ObjectKind> kinds = {
        {"store object",
         [] {
             ComPtr<CSettings> s;
             s.Attach(new CSettings());
             s->AddRef();
             EXPECT_EQ(R(result::kOk), s->Initialize(L"Key"));
             return Seeded(ComPtr<ISettings>(s.Get()));
         },
         false},
        {"older format object",
         [] {
             ComPtr<LegacySettings> s;
             s.Attach(new LegacySettings(L"Key"));
             s->AddRef();
             return Seeded(ComPtr<ISettings>(s.Get()));
         },
         true},
    };
    return kinds;
}

enum class Content { Text, Expanded, Bytes };

using GetCall = std::function<HRESULT(ISettings*, const wchar_t*, IUnknown**)>;

struct GetSlot {
    const char* slot;
    GetCall call;
    const wchar_t* present;
    Content content;
};

#define QK_GET_PAIR(method, present, content)                                                                         \
    GetSlot{#method, [](ISettings* s, const wchar_t* n, IUnknown** o) { return s->method(n, o); }, present, content}, \
        GetSlot                                                                                                       \
    {                                                                                                                 \
#method "A",                                                                                                  \
            [](ISettings * s, const wchar_t* n,                                                                       \
               IUnknown** o) { return n ? s->method##A(Narrow(n).c_str(), o) : s->method##A(nullptr, o); }, present,  \
                                                                                                         content      \
    }

const std::vector<GetSlot>& GetSlots()
{
    static const std::vector<GetSlot> slots = {
        QK_GET_PAIR(GetStringObject, L"Text", Content::Text),
        QK_GET_PAIR(GetBinaryObject, L"Blob", Content::Bytes),
        QK_GET_PAIR(GetExpandedStringObject, L"Text", Content::Expanded),
    };
    return slots;
}

using SetCall = std::function<HRESULT(ISettings*, const wchar_t*, IUnknown*)>;

struct SetSlot {
    const char* slot;
    SetCall call;
    bool binary;
};

#define QK_SET_PAIR(method, binary)                                                                                \
    SetSlot{#method, [](ISettings* s, const wchar_t* n, IUnknown* o) { return s->method(n, o); }, binary}, SetSlot \
    {                                                                                                              \
#method "A",                                                                                               \
            [](ISettings * s, const wchar_t* n,                                                                    \
               IUnknown* o) { return n ? s->method##A(Narrow(n).c_str(), o) : s->method##A(nullptr, o); }, binary  \
    }

const std::vector<SetSlot>& SetSlots()
{
    static const std::vector<SetSlot> slots = {
        QK_SET_PAIR(SetStringObject, false),
        QK_SET_PAIR(SetBinaryObject, true),
    };
    return slots;
}

std::wstring TextOf(IUnknown* object)
{
    ComPtr<IStringObject> text;
    if (object == nullptr ||
        FAILED(object->QueryInterface(CLSID_qkTalString, reinterpret_cast<void**>(text.GetAddressOf()))))
        return L"<no string object>";
    std::wstring out;
    qkLib::GetStringObjectText(text.Get(), out);
    return out;
}

std::vector<BYTE> BytesOf(IUnknown* object)
{
    ComPtr<IMemoryObject> memory;
    if (object == nullptr ||
        FAILED(object->QueryInterface(CLSID_qkTalMemory, reinterpret_cast<void**>(memory.GetAddressOf()))))
        return {0xEE};
    const BYTE* data = static_cast<const BYTE*>(memory->GetData());
    return std::vector<BYTE>(data, data + memory->GetSize());
}

} // namespace

TEST(SettingsObjectSlots, ReadsIntoNewObjects)
{
    TestTokens tokens;
    for (const ObjectKind& kind : Kinds()) {
        for (const GetSlot& row : GetSlots()) {
            SCOPED_TRACE(std::string(kind.label) + " " + row.slot);
            ComPtr<ISettings> s = kind.make();

            ComPtr<IUnknown> out;
            ASSERT_EQ(R(result::kOk), row.call(s.Get(), row.present, out.ReleaseAndGetAddressOf()));
            switch (row.content) {
            case Content::Text:
                EXPECT_EQ(std::wstring(kExpandable), TextOf(out.Get()));
                break;
            case Content::Expanded:
                EXPECT_EQ(std::wstring(kExpanded), TextOf(out.Get()));
                break;
            case Content::Bytes:
                EXPECT_EQ(std::vector<BYTE>(kBlob, kBlob + sizeof(kBlob)), BytesOf(out.Get()));
                break;
            }

            const struct {
                const wchar_t* name;
                HRESULT expected;
            } failures[] = {
                {L"Missing", R(result::kNotFound)},
                {L"Num", R(result::kTypeMismatch)},
                {nullptr, R(result::kInvalidArg)},
            };
            for (const auto& f : failures) {
                ComPtr<IUnknown> none;
                EXPECT_EQ(f.expected, row.call(s.Get(), f.name, none.ReleaseAndGetAddressOf()))
                    << (f.name ? Narrow(f.name) : "null");
                EXPECT_EQ(nullptr, none.Get());
            }
            EXPECT_EQ(R(result::kInvalidArg), row.call(s.Get(), row.present, nullptr));

            // A deleted value is gone for these slots too.
            ASSERT_EQ(R(result::kOk), s->DeleteValue(row.present));
            ComPtr<IUnknown> none;
            EXPECT_EQ(R(result::kNotFound), row.call(s.Get(), row.present, none.ReleaseAndGetAddressOf()));
        }
    }
}

TEST(SettingsObjectSlots, ExpansionFailureAndEmptyBinary)
{
    TestTokens tokens;
    for (const ObjectKind& kind : Kinds()) {
        SCOPED_TRACE(kind.label);
        ComPtr<ISettings> s = kind.make();
        ComPtr<IUnknown> out;
        EXPECT_EQ(R(result::kExpansionFailed), s->GetExpandedStringObject(L"Bad", out.ReleaseAndGetAddressOf()));
        EXPECT_EQ(nullptr, out.Get());
        EXPECT_EQ(R(result::kExpansionFailed), s->GetExpandedStringObjectA("Bad", out.ReleaseAndGetAddressOf()));
        EXPECT_EQ(R(result::kOk), s->GetStringObject(L"Bad", out.ReleaseAndGetAddressOf()));
        EXPECT_EQ(std::wstring(kUnexpandable), TextOf(out.Get()));
        if (kind.emptyOutRequired) {
            IUnknown* held = out.Get();
            EXPECT_EQ(R(result::kInvalidArg), s->GetStringObject(L"Bad", out.GetAddressOf()));
            EXPECT_EQ(held, out.Get());
        }

        // An empty binary value gives an empty buffer object.
        ASSERT_EQ(R(result::kOk), s->SetBinary(L"Empty", nullptr, 0));
        ComPtr<IUnknown> empty;
        ASSERT_EQ(R(result::kOk), s->GetBinaryObject(L"Empty", empty.ReleaseAndGetAddressOf()));
        EXPECT_TRUE(BytesOf(empty.Get()).empty());
    }
}

TEST(SettingsObjectSlots, WritesFromObjects)
{
    ComPtr<IStringObject> text;
    text.Attach(qkTalStringImpl::CreateWithText(L"hello"));
    ComPtr<IStringObject> narrowText;
    narrowText.Attach(qkTalStringImpl::Create());
    ASSERT_TRUE(narrowText->SetStringA("narrow"));
    ComPtr<IMemoryObject> bytes;
    bytes.Attach(qkTalMemoryImpl::Create());
    const BYTE data[2] = {9, 8};
    ASSERT_NE(nullptr, bytes->SetData(data, 2));
    ComPtr<IMemoryObject> noBytes;
    noBytes.Attach(qkTalMemoryImpl::Create());

    for (const ObjectKind& kind : Kinds()) {
        for (const SetSlot& row : SetSlots()) {
            SCOPED_TRACE(std::string(kind.label) + " " + row.slot);
            ComPtr<ISettings> s = kind.make();
            IUnknown* right = row.binary ? static_cast<IUnknown*>(bytes.Get()) : text.Get();
            IUnknown* wrong = row.binary ? static_cast<IUnknown*>(text.Get()) : bytes.Get();

            // Over a value of another type, and as a new value.
            for (const wchar_t* name : {L"Num", L"New"}) {
                ASSERT_EQ(R(result::kOk), row.call(s.Get(), name, right));
                if (row.binary) {
                    BYTE got[4] = {};
                    DWORD size = sizeof(got);
                    ASSERT_EQ(R(result::kOk), s->GetBinary(name, got, &size));
                    EXPECT_EQ(2u, size);
                    EXPECT_EQ(9, got[0]);
                    EXPECT_EQ(8, got[1]);
                } else {
                    wchar_t got[16] = {};
                    DWORD size = 16;
                    ASSERT_EQ(R(result::kOk), s->GetString(name, got, &size));
                    EXPECT_STREQ(L"hello", got);
                    EXPECT_EQ(6u, size);
                }
            }

            EXPECT_EQ(R(result::kInvalidArg), row.call(s.Get(), L"Other", wrong));
            EXPECT_EQ(R(result::kInvalidArg), row.call(s.Get(), L"Other", nullptr));
            EXPECT_EQ(R(result::kInvalidArg), row.call(s.Get(), nullptr, right));
            DWORD size = 0;
            EXPECT_EQ(R(result::kNotFound), s->GetBinary(L"Other", nullptr, &size));
        }

        // A narrow string object's text, and an empty buffer object.
        ComPtr<ISettings> s = kind.make();
        ASSERT_EQ(R(result::kOk), s->SetStringObject(L"N", narrowText.Get()));
        wchar_t got[16] = {};
        DWORD size = 16;
        ASSERT_EQ(R(result::kOk), s->GetString(L"N", got, &size));
        EXPECT_STREQ(L"narrow", got);
        ASSERT_EQ(R(result::kOk), s->SetBinaryObject(L"E", noBytes.Get()));
        size = 4;
        EXPECT_EQ(R(result::kOk), s->GetBinary(L"E", got, &size));
        EXPECT_EQ(0u, size);
    }
}

TEST(SettingsNameLists, NameObjects)
{
    ComPtr<IEnumSettings> names;
    ASSERT_EQ(R(result::kOk), CNameList::Create({L"One", L"Two"}, &names));
    ComPtr<IUnknown> out;
    ASSERT_EQ(R(result::kOk), names->GetNameObject(1, out.ReleaseAndGetAddressOf()));
    EXPECT_EQ(L"Two", TextOf(out.Get()));
    ComPtr<IUnknown> none;
    EXPECT_EQ(R(result::kInvalidArg), names->GetNameObject(2, none.ReleaseAndGetAddressOf()));
    EXPECT_EQ(nullptr, none.Get());
    EXPECT_EQ(R(result::kInvalidArg), names->GetNameObject(0, nullptr));

    for (const ObjectKind& kind : Kinds()) {
        SCOPED_TRACE(kind.label);
        ComPtr<ISettings> s = kind.make();
        ComPtr<IEnumValues> values;
        ASSERT_EQ(R(result::kOk), s->EnumValues(&values));
        DWORD count = 0;
        values->GetCount(&count);
        ASSERT_EQ(4u, count);
        for (DWORD i = 0; i < count; ++i) {
            wchar_t name[16] = {};
            DWORD size = 16, type = 99, objectType = 98;
            ASSERT_EQ(R(result::kOk), values->GetName(i, name, &size, &type));
            ComPtr<IUnknown> object;
            ASSERT_EQ(R(result::kOk), values->GetNameObject(i, object.ReleaseAndGetAddressOf(), &objectType));
            EXPECT_EQ(std::wstring(name), TextOf(object.Get()));
            EXPECT_EQ(type, objectType);
            ASSERT_EQ(R(result::kOk), values->GetNameObject(i, object.ReleaseAndGetAddressOf(), nullptr));
        }
        EXPECT_EQ(R(result::kInvalidArg), values->GetNameObject(count, none.ReleaseAndGetAddressOf(), nullptr));
        EXPECT_EQ(nullptr, none.Get());
        EXPECT_EQ(R(result::kInvalidArg), values->GetNameObject(0, nullptr, nullptr));
    }
}

// Where both objects' slots follow one rule, both answer alike: the byte-size protocol of the
// binary read (a null buffer only asks for the size; an empty value fits in nothing), an absent
// value's size, a missing out pointer before the lookup, and the narrow text read, which reads
// the value before it looks at the caller's buffer.
TEST(SettingsObjectSlots, SameAnswersFromBothObjects)
{
    using Call = std::function<HRESULT(ISettings*, DWORD*)>;
    const struct {
        const char* label;
        Call call;
        DWORD sizeIn;
        HRESULT expected;
        DWORD sizeOut;
    } cases[] = {
        {"empty binary, no buffer", [](ISettings* s, DWORD* n) { return s->GetBinary(L"Empty", nullptr, n); }, 0,
         R(result::kOk), 0},
        {"binary, no buffer but room", [](ISettings* s, DWORD* n) { return s->GetBinary(L"Blob", nullptr, n); }, 8,
         R(result::kInvalidArg), 8},
        {"binary, no buffer, size asked", [](ISettings* s, DWORD* n) { return s->GetBinary(L"Blob", nullptr, n); }, 0,
         R(result::kBufferTooSmall), 3},
        {"missing binary",
         [](ISettings* s, DWORD* n) {
             BYTE b[8];
             return s->GetBinary(L"Missing", b, n);
         },
         8, R(result::kNotFound), 0},
        {"missing text",
         [](ISettings* s, DWORD* n) {
             wchar_t t[8];
             return s->GetString(L"Missing", t, n);
         },
         8, R(result::kNotFound), 0},
        {"missing number, no out", [](ISettings* s, DWORD*) { return s->GetDword(L"Missing", nullptr); }, 5,
         R(result::kInvalidArg), 5},
        {"narrow missing text, no buffer", [](ISettings* s, DWORD* n) { return s->GetStringA("Missing", nullptr, n); },
         5, R(result::kNotFound), 5},
        {"narrow text, no buffer but room", [](ISettings* s, DWORD* n) { return s->GetStringA("Text", nullptr, n); },
         64, R(result::kInvalidArg), 64},
    };
    for (const ObjectKind& kind : Kinds()) {
        ComPtr<ISettings> s = kind.make();
        ASSERT_EQ(R(result::kOk), s->SetBinary(L"Empty", nullptr, 0));
        for (const auto& c : cases) {
            SCOPED_TRACE(std::string(kind.label) + ": " + c.label);
            DWORD size = c.sizeIn;
            EXPECT_EQ(c.expected, c.call(s.Get(), &size));
            EXPECT_EQ(c.sizeOut, size);
        }
    }
}
