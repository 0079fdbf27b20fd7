// Transactions of the settings manager: their writes are queued and reach the file at commit,
// as one batch through the journal, so that readers see committed values only, a commit is
// all or nothing, and an open transaction leaves nothing on disk.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

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

// Counts the writes and flushes of the store and its journal; fails the next read and the
// next write of the store once when armed.
class FileWatch : public IFileWriteFaults {
public:
    explicit FileWatch(std::wstring store) : m_store(std::move(store)), m_log(m_store + L".log") {}
    NtStatus BeforeWrite(const wchar_t* name, ULONGLONG, DWORD*) override
    {
        return Ours(name) && m_failWrite.exchange(false) ? status::kDiskFull : status::kSuccess;
    }
    NtStatus BeforeRead(const wchar_t* name, ULONGLONG) override
    {
        return Ours(name) && m_failRead.exchange(false) ? status::kUnsuccessful : status::kSuccess;
    }
    void AfterWrite(const wchar_t* name, ULONGLONG, const void*, DWORD) override
    {
        if (Ours(name))
            ++writes;
    }
    void AfterFlush(const wchar_t* name) override
    {
        if (Ours(name))
            ++flushes;
    }
    void FailNextReadAndWrite()
    {
        m_failRead = true;
        m_failWrite = true;
    }
    std::atomic<int> writes{0}, flushes{0};

private:
    bool Ours(const wchar_t* name) const
    {
        return _wcsicmp(name, m_store.c_str()) == 0 || _wcsicmp(name, m_log.c_str()) == 0;
    }
    std::wstring m_store, m_log;
    std::atomic<bool> m_failRead{false}, m_failWrite{false};
};

class Transactions : public testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_EQ(R(result::kOk), ModuleAddRef());
        path = dir.Path(L"tx.dat");
        ASSERT_EQ(R(result::kOk), CreateStandaloneSettingsMgr(&mgr));
        ASSERT_EQ(R(result::kOk), mgr->Open(path.c_str(), openflag::kCreate, nullptr));
        for (const wchar_t* p : {L"A", L"B", L"C"})
            Put(p, L"v", 1);
        ASSERT_EQ(R(result::kOk),
                  mgr->QueryInterface(IID_ISettingsTransaction, reinterpret_cast<void**>(tx.GetAddressOf())));
    }
    void TearDown() override
    {
        CSafeFile::SetWriteFaults(nullptr);
        tx.Reset();
        mgr.Reset();
        ModuleRelease();
    }
    HRESULT Put(const wchar_t* section, const wchar_t* name, DWORD value)
    {
        ComPtr<ISettings> s;
        HRESULT hr = mgr->GetSettings(section, &s);
        if (SUCCEEDED(hr))
            hr = s->SetDword(name, value);
        return SUCCEEDED(hr) ? mgr->PutSettings(s.Get()) : hr;
    }
    // The value as a reader sees it; 0 when the section or value is missing.
    static DWORD Get(ISettingsMgr* m, const wchar_t* section, const wchar_t* name = L"v")
    {
        ComPtr<ISettings> s;
        DWORD v = 0;
        if (FAILED(m->OpenSettings(section, &s)) || FAILED(s->GetDword(name, &v)))
            return 0;
        return v;
    }
    DWORD Get(const wchar_t* section, const wchar_t* name = L"v") { return Get(mgr.Get(), section, name); }

    TempDir dir;
    std::wstring path;
    ComPtr<ISettingsMgr> mgr;
    ComPtr<ISettingsTransaction> tx;
};

} // namespace

TEST_F(Transactions, ReadersSeeOnlyCommittedValues)
{
    ASSERT_EQ(R(result::kOk), tx->BeginTransaction());
    ASSERT_EQ(R(result::kOk), Put(L"A", L"v", 2));
    ASSERT_EQ(R(result::kOk), Put(L"New\\Key", L"v", 2));
    ASSERT_EQ(R(result::kOk), mgr->DeleteSettings(L"B"));
    auto expectCommitted = [&] {
        EXPECT_EQ(1u, Get(L"A"));
        EXPECT_EQ(0u, Get(L"New\\Key"));
        EXPECT_EQ(1u, Get(L"B"));
    };
    expectCommitted();                   // the writer's own thread
    std::thread(expectCommitted).join(); // any other thread
    ASSERT_EQ(R(result::kOk), tx->CommitTransaction());
    EXPECT_EQ(2u, Get(L"A"));
    EXPECT_EQ(2u, Get(L"New\\Key"));
    EXPECT_EQ(0u, Get(L"B"));
}

TEST_F(Transactions, BatchCommitBecomesVisibleAtOnce)
{
    ComPtr<ISettingsStoreAccess> access;
    ASSERT_EQ(R(result::kOk),
              mgr->QueryInterface(IID_ISettingsStoreAccess, reinterpret_cast<void**>(access.GetAddressOf())));
    std::atomic<bool> stop{false};
    std::atomic<int> torn{0}, reads{0};
    std::thread reader([&] {
        while (!stop) {
            // A is saved first: a reader between the two saves would find A ahead of C.
            DWORD a = Get(mgr.Get(), L"A"), c = Get(mgr.Get(), L"C");
            if (a > c)
                ++torn;
            ++reads;
        }
    });
    for (DWORD n = 2; n < 30; ++n) {
        ComPtr<ISettingsBatch> batch;
        ASSERT_EQ(R(result::kOk), access->CreateSettingsBatch(&batch));
        for (const wchar_t* p : {L"A", L"C"}) {
            ComPtr<ISettings> s;
            ASSERT_EQ(R(result::kOk), batch->GetSettings(p, &s));
            s->SetDword(L"v", n);
            ASSERT_EQ(R(result::kOk), batch->PutSettings(s.Get()));
        }
        ASSERT_EQ(R(result::kOk), batch->Commit());
    }
    stop = true;
    reader.join();
    EXPECT_GT(reads.load(), 0);
    EXPECT_EQ(0, torn.load());
    EXPECT_EQ(29u, Get(L"A"));
    EXPECT_EQ(29u, Get(L"C"));
}

// A write that fails inside a transaction fails the whole transaction: the writes after it
// are not committed one by one, and the commit reports the failure.
TEST_F(Transactions, FailedWriteFailsTheCommitAndCommitsNothing)
{
    auto watch = std::make_shared<FileWatch>(path);
    CSafeFile::SetWriteFaults(watch);
    ASSERT_EQ(R(result::kOk), tx->BeginTransaction());
    EXPECT_EQ(R(result::kOk), Put(L"A", L"v", 2));
    watch->FailNextReadAndWrite();
    EXPECT_TRUE(FAILED(Put(L"B", L"v", 2)));
    Put(L"C", L"v", 2);
    EXPECT_TRUE(FAILED(tx->CommitTransaction()));
    CSafeFile::SetWriteFaults(nullptr);
    for (const wchar_t* p : {L"A", L"B", L"C"})
        EXPECT_EQ(1u, Get(p)) << p;
    // The store goes on: the next transaction commits.
    ASSERT_EQ(R(result::kOk), tx->BeginTransaction());
    ASSERT_EQ(R(result::kOk), Put(L"C", L"v", 3));
    ASSERT_EQ(R(result::kOk), tx->CommitTransaction());
    EXPECT_EQ(3u, Get(L"C"));
}

// A transaction left open (closed, released, or a process that dies) has put nothing on disk:
// a read-only open sees the committed store.
TEST_F(Transactions, OpenTransactionLeavesNothingOnDisk)
{
    enum End { kClose, kRelease };
    for (End end : {kClose, kRelease}) {
        SCOPED_TRACE(end == kClose ? "closed" : "released");
        if (!mgr) {
            ASSERT_EQ(R(result::kOk), CreateStandaloneSettingsMgr(&mgr));
            ASSERT_EQ(R(result::kOk), mgr->Open(path.c_str(), 0, nullptr));
            ASSERT_EQ(R(result::kOk),
                      mgr->QueryInterface(IID_ISettingsTransaction, reinterpret_cast<void**>(tx.GetAddressOf())));
        }
        auto watch = std::make_shared<FileWatch>(path);
        CSafeFile::SetWriteFaults(watch);
        ASSERT_EQ(R(result::kOk), tx->BeginTransaction());
        ASSERT_EQ(R(result::kOk), Put(L"A", L"v", 5));
        ASSERT_EQ(R(result::kOk), Put(L"X\\Y", L"v", 5));
        ASSERT_EQ(R(result::kOk), mgr->DeleteSettings(L"C"));
        EXPECT_EQ(0, watch->writes.load()); // what a crash here would find: the committed store
        if (end == kClose) {
            ASSERT_EQ(R(result::kOk), mgr->Close());
        }
        tx.Reset();
        mgr.Reset();
        CSafeFile::SetWriteFaults(nullptr);

        ComPtr<ISettingsMgr> reader;
        ASSERT_EQ(R(result::kOk), CreateStandaloneSettingsMgr(&reader));
        ASSERT_EQ(R(result::kOk), reader->Open(path.c_str(), openflag::kReadOnly, nullptr));
        EXPECT_EQ(1u, Get(reader.Get(), L"A"));
        EXPECT_EQ(0u, Get(reader.Get(), L"X\\Y"));
        EXPECT_EQ(1u, Get(reader.Get(), L"C"));
    }
}

// A committed transaction costs three flushes whatever its size: the journal, the store, the
// checkpoint.
TEST_F(Transactions, CommitCostsThreeFlushes)
{
    auto watch = std::make_shared<FileWatch>(path);
    CSafeFile::SetWriteFaults(watch);
    ASSERT_EQ(R(result::kOk), Put(L"A", L"v", 2));
    EXPECT_EQ(3, watch->flushes.exchange(0)) << "one write outside a transaction";
    // The journal is made again at the first write after an open.
    ASSERT_EQ(R(result::kOk), mgr->Close());
    ASSERT_EQ(R(result::kOk), mgr->Open(path.c_str(), 0, nullptr));
    watch->flushes = 0;
    ASSERT_EQ(R(result::kOk), Put(L"A", L"v", 2));
    EXPECT_EQ(3, watch->flushes.exchange(0)) << "the first write after an open";

    ASSERT_EQ(R(result::kOk), tx->BeginTransaction());
    ASSERT_EQ(R(result::kOk), Put(L"A", L"v", 3));
    ASSERT_EQ(R(result::kOk), Put(L"B", L"w", 3));
    ASSERT_EQ(R(result::kOk), Put(L"D\\E\\F", L"v", 3));
    ASSERT_EQ(R(result::kOk), mgr->DeleteSettings(L"C"));
    ASSERT_EQ(R(result::kOk), tx->CommitTransaction());
    EXPECT_EQ(3, watch->flushes.load()) << "a transaction of four writes";
    EXPECT_EQ(3u, Get(L"D\\E\\F"));
    EXPECT_EQ(0u, Get(L"C"));
}

// Several writes of one transaction naming the same records (the same section saved twice, a
// section deleted and made again, a new section deleted) commit as the last of them says.
TEST_F(Transactions, WritesOnOneRecordInOneTransaction)
{
    ASSERT_EQ(R(result::kOk), tx->BeginTransaction());
    ASSERT_EQ(R(result::kOk), Put(L"A", L"v", 2));
    ASSERT_EQ(R(result::kOk), Put(L"A", L"w", 3));
    ASSERT_EQ(R(result::kOk), mgr->DeleteSettings(L"B"));
    ASSERT_EQ(R(result::kOk), Put(L"B", L"x", 4));
    ASSERT_EQ(R(result::kOk), Put(L"N\\M", L"v", 5));
    ASSERT_EQ(R(result::kOk), Put(L"N", L"v", 6));
    ASSERT_EQ(R(result::kOk), Put(L"Gone\\Child", L"v", 7));
    ASSERT_EQ(R(result::kOk), mgr->DeleteSettings(L"Gone"));
    ASSERT_EQ(R(result::kOk), Put(L"", L"root", 8));
    ASSERT_EQ(R(result::kOk), tx->CommitTransaction());
    ASSERT_EQ(R(result::kOk), mgr->Close());
    ASSERT_EQ(R(result::kOk), mgr->Open(path.c_str(), 0, nullptr));
    EXPECT_EQ(2u, Get(L"A"));
    EXPECT_EQ(3u, Get(L"A", L"w"));
    EXPECT_EQ(0u, Get(L"B"));
    EXPECT_EQ(4u, Get(L"B", L"x"));
    EXPECT_EQ(5u, Get(L"N\\M"));
    EXPECT_EQ(6u, Get(L"N"));
    EXPECT_EQ(0u, Get(L"Gone\\Child"));
    ComPtr<ISettings> gone;
    EXPECT_EQ(R(result::kNotFound), mgr->OpenSettings(L"Gone", &gone));
    EXPECT_EQ(8u, Get(L"", L"root"));
}

// An object saved inside a transaction holds its changes until the transaction ends: once it
// commits they are saved, and a later save of the object writes only what changed since, over
// values another writer stored meanwhile; once it rolls back they are still the object's to save.
TEST_F(Transactions, ObjectsSavedInsideATransactionAreSavedByItsCommit)
{
    enum End { kCommit, kRollBack };
    for (End end : {kCommit, kRollBack}) {
        SCOPED_TRACE(end == kCommit ? "committed" : "rolled back");
        ASSERT_EQ(R(result::kOk), Put(L"A", L"v", 1));
        ComPtr<ISettings> s;
        ASSERT_EQ(R(result::kOk), mgr->OpenSettings(L"A", &s));
        ASSERT_EQ(R(result::kOk), tx->BeginTransaction());
        ASSERT_EQ(R(result::kOk), s->SetDword(L"v", 2));
        ASSERT_EQ(R(result::kOk), s->SetDword(L"w", 7));
        ASSERT_EQ(R(result::kOk), mgr->PutSettings(s.Get()));
        // After the save, so not in the transaction: a new value and a saved one changed again.
        ASSERT_EQ(R(result::kOk), s->SetDword(L"late", 4));
        ASSERT_EQ(R(result::kOk), s->SetDword(L"w", 8));
        if (end == kCommit)
            ASSERT_EQ(R(result::kOk), tx->CommitTransaction());
        else
            ASSERT_EQ(R(result::kOk), tx->RollbackTransaction());
        EXPECT_EQ(end == kCommit ? 2u : 1u, Get(L"A"));
        EXPECT_EQ(end == kCommit ? 7u : 0u, Get(L"A", L"w"));
        EXPECT_EQ(0u, Get(L"A", L"late"));

        ASSERT_EQ(R(result::kOk), Put(L"A", L"v", 3)); // another writer
        ASSERT_EQ(R(result::kOk), mgr->PutSettings(s.Get()));
        EXPECT_EQ(end == kCommit ? 3u : 2u, Get(L"A"));
        EXPECT_EQ(4u, Get(L"A", L"late"));
        EXPECT_EQ(8u, Get(L"A", L"w"));
        ASSERT_EQ(R(result::kOk), mgr->DeleteSettings(L"A"));
    }
}

namespace {

// Fails the journal's first size change, or its first flush after a header that counts no
// entries (the checkpoint's), once armed.
class CheckpointFault : public IFileWriteFaults {
public:
    enum Step { kCut, kFlush };
    CheckpointFault(std::wstring store, Step step) : m_log(std::move(store) + L".log"), m_step(step) {}
    void Arm() { m_armed = true; }
    NtStatus BeforeWrite(const wchar_t*, ULONGLONG, DWORD*) override { return status::kSuccess; }
    void AfterWrite(const wchar_t* name, ULONGLONG offset, const void* data, DWORD length) override
    {
        DWORD count = 1;
        if (Ours(name) && offset == 0 && length == 32)
            std::memcpy(&count, static_cast<const BYTE*>(data) + 24, 4);
        if (count == 0)
            m_headerWritten = true;
    }
    NtStatus BeforeChange(const wchar_t* name) override
    {
        return m_step == kCut && Ours(name) && m_armed.exchange(false) ? status::kDiskFull : status::kSuccess;
    }
    NtStatus BeforeFlush(const wchar_t* name) override
    {
        return m_step == kFlush && Ours(name) && m_headerWritten && m_armed.exchange(false) ? status::kDiskFull
                                                                                            : status::kSuccess;
    }
    bool Fired() const { return !m_armed; }

private:
    bool Ours(const wchar_t* name) const { return _wcsicmp(name, m_log.c_str()) == 0; }
    std::wstring m_log;
    Step m_step;
    std::atomic<bool> m_armed{false}, m_headerWritten{false};
};

} // namespace

// A checkpoint that fails after its header has emptied the journal leaves the transaction on
// disk, and the commit says so: the new values stay, after a reopen too, and the store goes on.
TEST_F(Transactions, CheckpointFailingAfterItsHeaderReportsTheCommit)
{
    for (CheckpointFault::Step step : {CheckpointFault::kCut, CheckpointFault::kFlush}) {
        SCOPED_TRACE(step == CheckpointFault::kCut ? "journal not cut" : "journal not flushed");
        const DWORD n = step == CheckpointFault::kCut ? 2 : 3;
        auto fault = std::make_shared<CheckpointFault>(path, step);
        CSafeFile::SetWriteFaults(fault);
        ASSERT_EQ(R(result::kOk), tx->BeginTransaction());
        ASSERT_EQ(R(result::kOk), Put(L"A", L"v", n));
        ASSERT_EQ(R(result::kOk), Put(L"B", L"v", n));
        fault->Arm();
        EXPECT_EQ(R(result::kOk), tx->CommitTransaction());
        EXPECT_TRUE(fault->Fired());
        CSafeFile::SetWriteFaults(nullptr);
        EXPECT_EQ(n, Get(L"A"));
        EXPECT_EQ(n, Get(L"B"));

        ASSERT_EQ(R(result::kOk), mgr->Close());
        ASSERT_EQ(R(result::kOk), mgr->Open(path.c_str(), 0, nullptr));
        EXPECT_EQ(n, Get(L"A"));
        EXPECT_EQ(n, Get(L"B"));
        ASSERT_EQ(R(result::kOk), Put(L"C", L"v", n));
        EXPECT_EQ(n, Get(L"C"));
    }
}
