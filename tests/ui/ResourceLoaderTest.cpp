// The language choice and the string tables, images and manifest of the launcher's resources.
#include "ui/image/VekResourceImage.h"
#include "ui/image/VekSharedResourceImage.h"
#include "ui/res/VekResourceIds.h"
#include "ui/resources/CVekResourceLoader.h"
#include "ui/util/VekPageAddress.h"

#include <gtest/gtest.h>

#include <regex>
#include <set>
#include <string>
#include <vector>

namespace {

const LANGID kGerman = 0x0407, kEnglish = 0x0409, kFrench = 0x040C, kDanish = 0x0406, kSwissGerman = 0x0807,
             kJapanese = 0x0411;

// Every id the launcher's tables hold (357 only in the neutral one).
std::vector<UINT> AllStringIds()
{
    const std::pair<UINT, UINT> ranges[] = {
        {128, 129}, {131, 146}, {148, 166}, {168, 186}, {188, 191}, {219, 219}, {221, 226},
        {228, 228}, {230, 231}, {234, 241}, {272, 274}, {283, 284}, {287, 299}, {301, 302},
        {304, 304}, {306, 306}, {314, 315}, {317, 338}, {340, 356}, {358, 362},
    };
    std::vector<UINT> ids;
    for (const auto& [first, last] : ranges)
        for (UINT id = first; id <= last; ++id)
            ids.push_back(id);
    return ids;
}

// The neutral table and the thirteen languages.
const LANGID kTableLanguages[] = {0x0000, 0x0404, 0x0405, 0x0407, 0x0409, 0x040C, 0x0410,
                                  0x0411, 0x0412, 0x0415, 0x0416, 0x0419, 0x0804, 0x0C0A};

// The inserts of a text ("%1!s!", "%s", "%d", "%%"), which a translation must keep.
std::multiset<std::string> Inserts(const std::wstring& text)
{
    static const std::wregex insert(LR"(%(\d!\w!|[sd%]))");
    std::multiset<std::string> found;
    for (auto it = std::wsregex_iterator(text.begin(), text.end(), insert); it != std::wsregex_iterator(); ++it) {
        const std::wstring match = it->str();
        found.insert(std::string(match.begin(), match.end()));
    }
    return found;
}

struct LanguageCase {
    const char* name;
    LANGID system;
    LANGID user;
    std::vector<LANGID> preferred;
    UINT id;
    const wchar_t* expected;
};

TEST(CVekResourceLoader, LanguageChoice)
{
    const LanguageCase cases[] = {
        {"German user, German string", kEnglish, kGerman, {kGerman, kEnglish}, 223, L"Schließen"},
        {"German user, string only in English", kEnglish, kGerman, {kGerman, kEnglish}, 4000, L"English only"},
        {"German entry empty: next language",
         kEnglish,
         kGerman,
         {kGerman, kEnglish},
         4001,
         L"English, empty in German"},
        {"Danish has no table: system language", kGerman, kDanish, {kDanish, kGerman, kEnglish}, 223, L"Schließen"},
        {"Danish, English system: English", kEnglish, kDanish, {kDanish, kEnglish}, 223, L"Close"},
        {"Swiss German is not in the table", kFrench, kSwissGerman, {kFrench, kEnglish}, 223, L"Fermer"},
        {"user equals system: once", kJapanese, kJapanese, {kJapanese, kEnglish}, 223, L"閉じる"},
        {"neutral-only id from the module's choice",
         kEnglish,
         kGerman,
         {kGerman, kEnglish},
         357,
         L"https://help.talvern.example/support/agent-redistributable-package"},
        {"unsupported system language", 0x0C07, kSwissGerman, {kEnglish}, 223, L"Close"},
    };
    for (const LanguageCase& c : cases) {
        SCOPED_TRACE(c.name);
        CVekResourceLoader loader;
        loader.Initialize(c.system, c.user);
        EXPECT_EQ(loader.GetPreferredLanguages(), c.preferred);
        std::wstring text = L"untouched";
        EXPECT_TRUE(loader.LoadString(text, c.id));
        EXPECT_EQ(text, c.expected);
    }
}

TEST(CVekResourceLoader, InitializeActsOnceAndAddMovesToFront)
{
    CVekResourceLoader loader;
    loader.Initialize(kEnglish, kGerman);
    loader.Initialize(kFrench, kJapanese);
    EXPECT_EQ(loader.GetPreferredLanguages(), (std::vector<LANGID>{kGerman, kEnglish}));
    loader.AddPreferredLanguage(kEnglish);
    loader.AddPreferredLanguage(kSwissGerman);
    EXPECT_EQ(loader.GetPreferredLanguages(), (std::vector<LANGID>{kEnglish, kGerman}));
    EXPECT_STREQ(CVekResourceLoader::FindLanguage(kJapanese)->name, L"jp-jp");
    EXPECT_EQ(CVekResourceLoader::FindLanguage(L"ko-ko")->id, 0x0412);
    EXPECT_EQ(CVekResourceLoader::FindLanguage(kSwissGerman), nullptr);
}

TEST(CVekResourceLoader, MissingStringKeepsTextOrTakesFallback)
{
    CVekResourceLoader loader;
    loader.Initialize(kEnglish, kEnglish);
    std::wstring text = L"before";
    EXPECT_FALSE(loader.LoadString(text, 9999));
    EXPECT_EQ(text, L"before");
    EXPECT_FALSE(loader.LoadStringEx(text, 9999, nullptr));
    EXPECT_EQ(text, L"before");
    EXPECT_FALSE(loader.LoadStringEx(text, 9999, L"fallback"));
    EXPECT_EQ(text, L"fallback");
    // Uninitialised: straight to the module's choice.
    CVekResourceLoader fresh;
    EXPECT_TRUE(fresh.GetPreferredLanguages().empty());
    EXPECT_TRUE(fresh.LoadString(text, 318));
    EXPECT_EQ(text, L"Talvern Download Manager");
}

// Every table holds every id, non-empty, with the English text's inserts; 357 only in the
// neutral table; the layout direction is "LTR" everywhere.
TEST(CVekResourceLoader, EveryTableHoldsEveryId)
{
    CVekResourceLoader loader;
    for (LANGID language : kTableLanguages) {
        SCOPED_TRACE(testing::Message() << "language 0x" << std::hex << language);
        for (UINT id : AllStringIds()) {
            std::wstring english, text;
            ASSERT_TRUE(loader.LoadStringInLanguage(english, id, kEnglish)) << id;
            EXPECT_TRUE(loader.LoadStringInLanguage(text, id, language)) << id;
            EXPECT_EQ(Inserts(text), Inserts(english)) << id << ": " << std::string(text.begin(), text.end()).size();
        }
        std::wstring text;
        EXPECT_EQ(loader.LoadStringInLanguage(text, 357, language), language == 0x0000);
        ASSERT_TRUE(loader.LoadStringInLanguage(text, 173, language));
        EXPECT_EQ(text, L"LTR");
    }
}

TEST(CVekResourceLoader, TranslationsDifferFromEnglish)
{
    // A table that is a copy of the English one would pass the test above; the close caption is
    // a word every language translates.
    CVekResourceLoader loader;
    std::set<std::wstring> captions;
    for (LANGID language : kTableLanguages) {
        std::wstring text;
        ASSERT_TRUE(loader.LoadStringInLanguage(text, 223, language));
        captions.insert(text);
    }
    EXPECT_EQ(captions.size(), std::size(kTableLanguages) - 1); // neutral and English share "Close"
}

TEST(VekResourceImage, EveryImageDecodes)
{
    const struct {
        UINT id;
        const wchar_t* type;
        UINT width;
    } images[] = {
        {IDR_PNG_ERROR, L"PNG", 48},
        {IDR_PNG_CLOSE, L"PNG", 32},
        {IDR_PNG_CLOSE_HOVER, L"PNG", 32},
        {IDR_PNG_MINIMIZE, L"PNG", 32},
        {IDR_PNG_MINIMIZE_HOVER, L"PNG", 32},
        {IDR_PNG_CLOSE_PUSHED, L"PNG", 32},
        {IDR_PNG_BUTTON_PUSHED, L"PNG", 120},
        {IDR_PNG_MINIMIZE_PUSHED, L"PNG", 32},
        {IDR_PNG_CLOSE_DISABLED, L"PNG", 32},
        {IDR_PNG_ALERT, L"PNG", 48},
        {IDR_PNG_PROGRESS_TRACK, L"PNG", 300},
        {IDR_PNG_BUTTON, L"PNG", 120},
        {IDR_PNG_BUTTON_HOVER, L"PNG", 120},
        {IDR_PNG_SUCCESS, L"PNG", 48},
        {IDR_PNG_BUTTON_DISABLED, L"PNG", 120},
        {IDR_PNG_LOGO, L"PNG", 48},
        {IDR_PNG_FOOTER, L"PNG", 512},
        {IDR_PNG_BANNER, L"PNG", 512},
        {IDR_PNG_WARNING, L"PNG", 24},
        {IDR_VEK_PROGRESS_GIF, L"GIF", 300},
    };
    HMODULE module = ::GetModuleHandleW(nullptr);
    for (const auto& image : images) {
        SCOPED_TRACE(image.id);
        vek::VekResourceImage holder;
        ASSERT_TRUE(holder.Load(image.id, image.type, module));
        EXPECT_EQ(holder.GetImage()->GetWidth(), image.width);
    }
    vek::VekResourceImage gif;
    ASSERT_TRUE(gif.Load(IDR_VEK_PROGRESS_GIF, L"GIF", module));
    GUID dimension{};
    ASSERT_EQ(gif.GetImage()->GetFrameDimensionsList(&dimension, 1), Gdiplus::Ok);
    EXPECT_GT(gif.GetImage()->GetFrameCount(&dimension), 1u);

    // The animation and its track exist in every user-interface language.
    for (LANGID language : kTableLanguages) {
        EXPECT_NE(::FindResourceExW(module, L"GIF", MAKEINTRESOURCEW(IDR_VEK_PROGRESS_GIF), language), nullptr)
            << language;
        EXPECT_NE(::FindResourceExW(module, L"PNG", MAKEINTRESOURCEW(IDR_PNG_PROGRESS_TRACK), language), nullptr)
            << language;
    }

    vek::VekResourceImage missing;
    EXPECT_FALSE(missing.Load(4242, L"PNG", module));
    EXPECT_FALSE(missing.IsLoaded());
    EXPECT_THROW(missing.GetImage(), std::runtime_error);
}

TEST(VekSharedResourceImage, OneDecodeWhileHeldAndNoneKeptAfter)
{
    HMODULE module = ::GetModuleHandleW(nullptr);
    const unsigned long before = vek::VekResourceImage::DecodedCount();
    std::shared_ptr<vek::VekResourceImage> first = vek::VekSharedResourceImage::Get(IDR_PNG_BUTTON, L"PNG", module);
    std::shared_ptr<vek::VekResourceImage> second = vek::VekSharedResourceImage::Get(IDR_PNG_BUTTON, L"PNG", module);
    std::shared_ptr<vek::VekResourceImage> other = vek::VekSharedResourceImage::Get(IDR_PNG_LOGO, L"PNG", module);
    ASSERT_TRUE(first && second && other);
    EXPECT_EQ(first, second);
    EXPECT_NE(first, other);
    EXPECT_EQ(first->GetImage()->GetWidth(), 120u);
    EXPECT_EQ(vek::VekResourceImage::DecodedCount() - before, 2u);

    // Once no one holds it, the image is freed and the next caller decodes it again.
    first.reset();
    second.reset();
    EXPECT_TRUE(vek::VekSharedResourceImage::Get(IDR_PNG_BUTTON, L"PNG", module));
    EXPECT_EQ(vek::VekResourceImage::DecodedCount() - before, 3u);

    EXPECT_EQ(vek::VekSharedResourceImage::Get(4242, L"PNG", module), nullptr);
}

TEST(VekLauncherManifest, DeclaresWhatTheLauncherNeeds)
{
    HMODULE module = ::GetModuleHandleW(nullptr);
    HRSRC resource = ::FindResourceW(module, MAKEINTRESOURCEW(1), MAKEINTRESOURCEW(24));
    ASSERT_NE(resource, nullptr);
    const auto* bytes = static_cast<const char*>(::LockResource(::LoadResource(module, resource)));
    const std::string manifest(bytes, ::SizeofResource(module, resource));
    for (const char* part : {"Microsoft.Windows.Common-Controls", "version=\"6.0.0.0\"", "level=\"asInvoker\"",
                             ">true</dpiAware>", "{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}"})
        EXPECT_NE(manifest.find(part), std::string::npos) << part;
    // System awareness only: the windows read the scale factors once, so a move to a monitor of
    // another resolution must be scaled by the system, not left to them.
    for (const char* part : {"PerMonitor", "true/pm", "dpiAwareness"})
        EXPECT_EQ(manifest.find(part), std::string::npos) << part;

    // This program carries the same manifest: the system made it aware of the system resolution.
    using GetContext = HANDLE(WINAPI*)();
    using SameContexts = BOOL(WINAPI*)(HANDLE, HANDLE);
    HMODULE user = ::GetModuleHandleW(L"user32.dll");
    const auto getContext =
        reinterpret_cast<GetContext>(reinterpret_cast<void*>(::GetProcAddress(user, "GetThreadDpiAwarenessContext")));
    const auto same =
        reinterpret_cast<SameContexts>(reinterpret_cast<void*>(::GetProcAddress(user, "AreDpiAwarenessContextsEqual")));
    ASSERT_NE(getContext, nullptr);
    ASSERT_NE(same, nullptr);
    const HANDLE context = getContext();
    const HANDLE systemAware = reinterpret_cast<HANDLE>(static_cast<LONG_PTR>(-2));
    const HANDLE unaware = reinterpret_cast<HANDLE>(static_cast<LONG_PTR>(-1));
    if (::GetProcAddress(::GetModuleHandleW(L"ntdll.dll"), "wine_get_version") != nullptr) {
        // Wine 8 reads the declaration but answers per-monitor awareness for it: only "aware" is
        // checked there.
        EXPECT_FALSE(same(context, unaware)) << context;
    } else {
        EXPECT_TRUE(same(context, systemAware)) << "DPI_AWARENESS_CONTEXT_SYSTEM_AWARE expected, got " << context;
    }

    // Declaring Windows 10 makes the version functions tell the truth (the prefix is Windows 10).
    OSVERSIONINFOEXW version{};
    version.dwOSVersionInfoSize = sizeof(version);
    version.dwMajorVersion = 10;
    const DWORDLONG condition = ::VerSetConditionMask(0, VER_MAJORVERSION, VER_GREATER_EQUAL);
    EXPECT_TRUE(::VerifyVersionInfoW(&version, VER_MAJORVERSION, condition));
}

} // namespace

namespace {

TEST(VekPageAddress, LanguageParameters)
{
    // The process-wide loader speaks English in these tests.
    const struct {
        const wchar_t* address;
        const wchar_t* expected;
    } cases[] = {
        {L"https://help.talvern.example/a", L"https://help.talvern.example/a?lg=English&ct=united states"},
        {L"https://help.talvern.example/a?", L"https://help.talvern.example/a?lg=English&ct=united states"},
        {L"https://help.talvern.example/a?x=1", L"https://help.talvern.example/a?x=1&lg=English&ct=united states"},
        {L"", L""},
    };
    for (const auto& c : cases)
        EXPECT_EQ(vek::AddPageLanguageParameters(c.address), c.expected);
}

} // namespace

namespace {

TEST(VekLauncherResources, TheProgramCarriesTheTablesImagesAndManifest)
{
    wchar_t path[MAX_PATH] = {};
    ::GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring launcher(path);
    launcher.resize(launcher.find_last_of(L'\\') + 1);
    launcher += L"VekLauncher.exe";
    HMODULE module =
        ::LoadLibraryExW(launcher.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE);
    ASSERT_NE(module, nullptr) << ::GetLastError();

    CVekResourceLoader loader;
    loader.SetModule(module);
    for (LANGID language : kTableLanguages) {
        std::wstring text;
        EXPECT_TRUE(loader.LoadStringInLanguage(text, 318, language)) << language;
        EXPECT_NE(::FindResourceExW(module, L"GIF", MAKEINTRESOURCEW(IDR_VEK_PROGRESS_GIF), language), nullptr)
            << language;
    }
    EXPECT_NE(::FindResourceW(module, MAKEINTRESOURCEW(IDR_PNG_LOGO), L"PNG"), nullptr);
    EXPECT_NE(::FindResourceW(module, MAKEINTRESOURCEW(IDD_VEK_MAIN), RT_DIALOG), nullptr);
    EXPECT_NE(::FindResourceW(module, MAKEINTRESOURCEW(IDD_VEK_UNSUPPORTED_PROCESSOR), RT_DIALOG), nullptr);
    EXPECT_NE(::FindResourceW(module, MAKEINTRESOURCEW(1), RT_MANIFEST), nullptr);
    EXPECT_NE(::FindResourceW(module, MAKEINTRESOURCEW(IDI_VEK_LAUNCHER), RT_GROUP_ICON), nullptr);
    ::FreeLibrary(module);
}

} // namespace
