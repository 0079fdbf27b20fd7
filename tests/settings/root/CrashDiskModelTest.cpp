// Crashes under a disk that keeps only what was flushed: at a crash, each write made to a file
// since that file's last flush may have reached the disk, been lost, or been torn at a sector
// boundary, in any combination. Whatever survives, reopening gives the state before the
// transaction or the state after it. Size changes and deletions are taken to reach the disk in
// order (the file system journals them).
#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include <wrl/client.h>

#include "ManagerTestSupport.h"
#include "SettingsTestSupport.h"
#include "settings/file/CSafeFile.h"
#include "settings/manager/qkSettingsModule.h"
#include "settings/store/qkSettingsResult.h"

using Microsoft::WRL::ComPtr;
using namespace qkSettings;
using namespace settingstest;

namespace {

constexpr ULONGLONG kSector = 512;

struct Event {
    enum Kind { kWrite, kSize, kFlush, kDelete } kind;
    int file;
    ULONGLONG offset;
    Bytes data;
};

// Records the file operations on the store (file 0) and its journal (file 1).
class Recorder : public IFileWriteFaults {
public:
    Recorder(std::wstring db, std::wstring log) : m_names{std::move(db), std::move(log)} {}
    NtStatus BeforeWrite(const wchar_t*, ULONGLONG, DWORD*) override { return status::kSuccess; }
    void AfterWrite(const wchar_t* name, ULONGLONG offset, const void* data, DWORD length) override
    {
        const BYTE* b = static_cast<const BYTE*>(data);
        Add(name, Event::kWrite, offset, Bytes(b, b + length));
    }
    void AfterSetSize(const wchar_t* name, ULONGLONG size) override { Add(name, Event::kSize, size, {}); }
    void AfterFlush(const wchar_t* name) override { Add(name, Event::kFlush, 0, {}); }
    void AfterDelete(const wchar_t* name) override { Add(name, Event::kDelete, 0, {}); }
    std::vector<Event> Events()
    {
        std::lock_guard<std::mutex> guard(m_lock);
        return m_events;
    }

private:
    void Add(const wchar_t* name, Event::Kind kind, ULONGLONG offset, Bytes data)
    {
        for (int f = 0; f < 2; ++f)
            if (_wcsicmp(name, m_names[f].c_str()) == 0) {
                std::lock_guard<std::mutex> guard(m_lock);
                m_events.push_back(Event{kind, f, offset, std::move(data)});
            }
    }
    std::wstring m_names[2];
    std::mutex m_lock;
    std::vector<Event> m_events;
};

struct Image {
    bool exists = false;
    Bytes bytes;
};
using Disk = std::array<Image, 2>;

enum Fate { kKeep, kDrop, kTear };
using Chooser = std::function<Fate(const Event&)>;

void Apply(Image& image, const Event& e, ULONGLONG upTo)
{
    image.exists = true;
    if (e.kind == Event::kSize) {
        image.bytes.resize(static_cast<size_t>(e.offset));
        return;
    }
    size_t end = static_cast<size_t>(e.offset + upTo);
    if (image.bytes.size() < end)
        image.bytes.resize(end, 0);
    std::memcpy(image.bytes.data() + e.offset, e.data.data(), static_cast<size_t>(upTo));
}

// What the disk holds after a crash that follows the first k events.
Disk CrashAfter(const Disk& start, const std::vector<Event>& events, size_t k, const Chooser& choose, Lcg& rng)
{
    Disk disk = start;
    std::vector<const Event*> pending[2];
    for (size_t i = 0; i < k; ++i) {
        const Event& e = events[i];
        switch (e.kind) {
        case Event::kWrite:
        case Event::kSize:
            pending[e.file].push_back(&e);
            break;
        case Event::kFlush:
            for (const Event* p : pending[e.file])
                Apply(disk[e.file], *p, p->data.size());
            pending[e.file].clear();
            break;
        case Event::kDelete:
            // Takes effect when the handle closes; the journal is closed right after.
            for (const Event* p : pending[e.file])
                Apply(disk[e.file], *p, p->data.size());
            pending[e.file].clear();
            disk[e.file] = Image{};
            break;
        }
    }
    for (int f = 0; f < 2; ++f)
        for (const Event* p : pending[f]) {
            if (p->kind == Event::kSize) {
                Apply(disk[f], *p, 0);
                continue;
            }
            switch (choose(*p)) {
            case kKeep:
                Apply(disk[f], *p, p->data.size());
                break;
            case kDrop:
                break;
            case kTear: {
                // Whole sectors up to a boundary inside the write reach the disk.
                ULONGLONG first = (p->offset / kSector + 1) * kSector, end = p->offset + p->data.size();
                if (first >= end)
                    break;
                ULONGLONG boundaries = (end - first + kSector - 1) / kSector;
                ULONGLONG cut = first + kSector * rng.Below(static_cast<DWORD>(boundaries));
                Apply(disk[f], *p, cut - p->offset);
                break;
            }
            }
        }
    return disk;
}

} // namespace

TEST(CrashDiskModel, UnflushedWritesLostKeptOrTorn)
{
    ASSERT_EQ(R(result::kOk), ModuleAddRef());
    TempDir dir;
    const std::wstring path = dir.Path(L"crash.dat"), log = path + L".log", bak = path + L".bak";
    {
        ComPtr<ISettingsMgr> mgr;
        ASSERT_EQ(R(result::kOk), CreateStandaloneSettingsMgr(&mgr));
        ASSERT_EQ(R(result::kOk), mgr->Open(path.c_str(), openflag::kCreate, nullptr));
        for (const wchar_t* p : {L"S", L"T"}) {
            ComPtr<ISettings> s;
            ASSERT_EQ(R(result::kOk), mgr->GetSettings(p, &s));
            s->SetDword(L"v", 1);
            Bytes filler(700, 5); // values spread over more than one block
            s->SetBinary(L"fill", filler.data(), static_cast<DWORD>(filler.size()));
            ASSERT_EQ(R(result::kOk), mgr->PutSettings(s.Get()));
        }
        ASSERT_EQ(R(result::kOk), mgr->Close());
    }
    ASSERT_FALSE(Exists(log));
    Disk start;
    start[0] = Image{true, ReadAll(path)};

    // One run with every operation recorded.
    auto recorder = std::make_shared<Recorder>(path, log);
    {
        ComPtr<ISettingsMgr> mgr;
        ASSERT_EQ(R(result::kOk), CreateStandaloneSettingsMgr(&mgr));
        ASSERT_EQ(R(result::kOk), mgr->Open(path.c_str(), 0, nullptr));
        CSafeFile::SetWriteFaults(recorder);
        ASSERT_EQ(R(result::kOk), RunTransaction(mgr.Get(), false));
        mgr.Reset();
        CSafeFile::SetWriteFaults(nullptr);
    }
    const std::vector<Event> events = recorder->Events();
    ASSERT_GT(events.size(), 10u);

    struct Case {
        const char* name;
        Chooser choose;
    };
    Lcg rng(20261211);
    const Case fixed[] = {
        {"all kept", [](const Event&) { return kKeep; }},
        {"all lost", [](const Event&) { return kDrop; }},
        {"journal header without entries",
         [](const Event& e) { return e.file == 1 && e.offset != 0 ? kDrop : kKeep; }},
        {"journal entries without header",
         [](const Event& e) { return e.file == 1 && e.offset == 0 ? kDrop : kKeep; }},
        {"journal header only, store writes lost",
         [](const Event& e) { return e.file == 1 && e.offset == 0 ? kKeep : kDrop; }},
    };
    const Case random{"random", [&](const Event&) { return static_cast<Fate>(rng.Below(3)); }};
    for (size_t k = 0; k <= events.size(); ++k) {
        std::vector<const Case*> cases;
        for (const Case& c : fixed)
            cases.push_back(&c);
        for (int r = 0; r < 3; ++r)
            cases.push_back(&random);
        for (const Case* c : cases) {
            SCOPED_TRACE(testing::Message() << "crash after " << k << " of " << events.size() << " operations, "
                                            << c->name);
            Disk disk = CrashAfter(start, events, k, c->choose, rng);
            ASSERT_TRUE(disk[0].exists);
            WriteAll(path, disk[0].bytes);
            if (disk[1].exists)
                WriteAll(log, disk[1].bytes);
            else
                ::DeleteFileW(log.c_str());
            ::DeleteFileW(bak.c_str());
            ComPtr<ISettingsMgr> mgr;
            ASSERT_EQ(R(result::kOk), CreateStandaloneSettingsMgr(&mgr));
            HRESULT hr = mgr->Open(path.c_str(), 0, nullptr);
            EXPECT_EQ(R(result::kOk), hr);
            if (SUCCEEDED(hr)) {
                EXPECT_NE("mixed", StoreState(mgr.Get()));
            }
        }
    }
    ModuleRelease();
}
