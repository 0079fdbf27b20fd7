// Every page of the main dialog in English and German, saved as screenshots beside the test
// program (screenshots/dialog_<language>_<page>.png) for a person to look at. The checks here are
// only that the page shows in the chosen language and that its picture is not blank.
#include "DialogTestSupport.h"

#include "../UiTestSupport.h"
#include "ui/resources/CVekResourceLoader.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <set>

namespace {

using dialogtest::DialogSetup;
using dialogtest::DialogTest;
using json = nlohmann::json;

struct Language {
    const wchar_t* name;
    LANGID id;
    const wchar_t* close; // string 223 in that language
};

const Language kLanguages[] = {{L"en", 0x0409, L"Close"}, {L"de", 0x0407, L"Schließen"}};

struct Page {
    const wchar_t* name;
    std::function<void(DialogTest&, dialogtest::FakeEngine&, DialogSetup&)> before;
    std::function<void(DialogTest&)> show;
};

class DialogScreenshotTest : public DialogTest {
protected:
    // Opens a dialog for the page, shows it, saves its picture; the number of distinct colours.
    size_t Shoot(const Language& language, const Page& page)
    {
        CVekResourceLoader::Instance().AddPreferredLanguage(language.id);
        engine = std::make_shared<dialogtest::FakeEngine>();
        engine->running = false;
        json manifest = DialogTest::Manifest();
        manifest["vek"]["job_array"][0]["intermediate_errors"] = json::array(
            {{{"component", "qor"}, {"type", 1}, {"code", 1603}}, {{"component", "ombl"}, {"type", 1}, {"code", 0}}});
        EXPECT_EQ(engine->manifest->Adopt(manifest), S_OK);
        DialogSetup setup;
        if (page.before)
            page.before(*this, *engine, setup);
        Open(setup);
        if (Closed())
            return 0;
        if (page.show)
            page.show(*this);
        dialog->showWindow(SW_SHOWNORMAL);
        Drain();
        const uitest::Capture capture = uitest::CaptureWindow(dialog->hwnd());
        const std::wstring path = capture.Save(std::wstring(L"dialog_") + language.name + L"_" + page.name);
        EXPECT_FALSE(path.empty()) << "screenshot not saved";
        std::set<DWORD> colours(capture.pixels.begin(), capture.pixels.end());
        return colours.size();
    }
};

TEST_F(DialogScreenshotTest, EveryPageInEnglishAndGerman)
{
    const std::filesystem::path temp = std::filesystem::temp_directory_path() / "vek-dialog-shots";
    const Page pages[] = {
        {L"wait", nullptr, [](DialogTest& t) { t.dialog->showWaitAnimation(true); }},
        {L"page3", nullptr,
         [](DialogTest& t) {
             t.Event(-3, json{{"job_error_code", 5}});
         }},
        {L"page3_download", nullptr,
         [](DialogTest& t) {
             t.Event(12, json{{"job_error_code", 0x80047EC6u}});
         }},
        {L"page4_partial", nullptr,
         [](DialogTest& t) {
             t.Event(4);
             t.Event(-2, json{{"job_error_code", 1603}});
         }},
        {L"page5", nullptr, [](DialogTest& t) { t.Event(17); }},
        {L"page6", nullptr, [](DialogTest& t) { t.dialog->showVekDialog(6); }},
        {L"page7", nullptr,
         [](DialogTest& t) {
             json document = DialogTest::Manifest();
             document["vek"]["job_array"][0]["create_msi"] = "true";
             t.Event(10, document);
         }},
        {L"page10", nullptr, [](DialogTest& t) { t.Event(37); }},
        {L"page12",
         [](DialogTest&, dialogtest::FakeEngine&, DialogSetup& s) {
             s.withEngine = false;
             s.switches = L"/SHOW_RESTART_PROMPT 5";
         },
         nullptr},
        {L"page15", nullptr, [](DialogTest& t) { t.Event(41); }},
        {L"page17", nullptr, [](DialogTest& t) { t.dialog->showVekDialog(17); }},
        {L"page18", nullptr,
         [](DialogTest& t) {
             t.Event(12, json{{"job_error_code", 0x80047ECDu}});
         }},
        {L"page19", nullptr, [](DialogTest& t) { t.dialog->showVekDialog(19); }},
        {L"location",
         [temp](DialogTest&, dialogtest::FakeEngine& e, DialogSetup&) {
             std::filesystem::create_directories(temp / "downloads");
             std::ofstream(temp / "downloads" / "qor.msi") << "x";
             e.state = 7;
             e.downloadFolder = (temp / "downloads").wstring();
         },
         nullptr},
    };
    for (const Language& language : kLanguages) {
        for (const Page& page : pages) {
            SCOPED_TRACE(testing::Message() << std::filesystem::path(language.name).string() << " "
                                            << std::filesystem::path(page.name).string());
            const size_t colours = Shoot(language, page);
            EXPECT_GT(colours, 4u) << "a blank picture";
            if (!Closed() && Visible(3308) && std::wstring(page.name) != L"page7") {
                EXPECT_EQ(Text(3308), language.close) << "the page is in the chosen language";
            }
            TearDown();
            SetUp();
        }
    }
    std::error_code error;
    std::filesystem::remove_all(temp, error);
}

} // namespace
