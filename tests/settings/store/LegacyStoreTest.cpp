// The older settings file: its record format, cipher, loading into a key tree, and the tree.
#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <memory>

#include "SettingsTestSupport.h"
#include "settings/legacy/CLegacyDataStore.h"
#include "settings/store/qkSettingsResult.h"

using namespace qkSettings;
using namespace settingstest;

TEST(LegacyStore, RecordFormatAndCipher)
{
    TempDir dir;
    const std::wstring path = dir.Path(L"old.dat");
    CLegacyDataStore store;
    ASSERT_EQ(result::kOk, store.OpenStore(path.c_str(), true, false, false));
    const BYTE data[3] = {7, 8, 9};
    std::vector<BYTE> record;
    ASSERT_TRUE(store.BuildRecord(L"x", data, 3, record));
    ASSERT_EQ(32u, record.size()); // 16 + 8 (name and terminator padded) + 3 + 5
    DWORD head[4];
    std::memcpy(head, record.data(), 16);
    EXPECT_EQ(1u, head[0]);
    EXPECT_EQ(3u, head[1]);
    EXPECT_EQ(8u, head[2]);
    EXPECT_EQ(5u, head[3]);

    ULONGLONG id = 0;
    ASSERT_TRUE(store.AddValue(L"Name", data, 3, &id));
    DWORD size = 0;
    ASSERT_TRUE(store.ReadValue(id, nullptr, &size)); // size only, no copy
    EXPECT_EQ(3u, size);
    BYTE out[3] = {};
    ASSERT_TRUE(store.ReadValue(id, out, &size));
    EXPECT_EQ(0, std::memcmp(out, data, 3));
    EXPECT_FALSE(store.ReadValue(0, out, &size));
    store.Close();

    // Reloaded: every record reaches the handler with its name, id and data length.
    CLegacyDataStore again;
    LegacyTreeNode root(L"", &again);
    std::map<std::wstring, DWORD> seen;
    again.SetRecordHandler([&](const wchar_t* name, ULONGLONG recordId, DWORD length) {
        seen[name] = length;
        LegacyTreeNode* node = root.AddChild(name, std::wcslen(name));
        if (node)
            node->SetRecordId(recordId);
        return node;
    });
    ASSERT_EQ(result::kOk, again.OpenStore(path.c_str(), false, false, false));
    ASSERT_TRUE(again.Load()) << again.GetLastError();
    EXPECT_EQ(3u, seen[L"Name"]);

    // The cipher refuses lengths that are not whole blocks or do not fit.
    BYTE key[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    CLegacyBlowfishCipher* cipher = CLegacyBlowfishCipher::Create(key, 8);
    ASSERT_NE(nullptr, cipher);
    BYTE buf[16] = {};
    DWORD n = 16;
    EXPECT_FALSE(cipher->Encrypt(buf, 12, buf, &n));
    n = 8;
    EXPECT_FALSE(cipher->Decrypt(buf, 16, buf, &n));
    n = 16;
    EXPECT_TRUE(cipher->Encrypt(buf, 16, buf, &n));
    EXPECT_EQ(8u, cipher->GetBlockSize());
    cipher->Release();
}

TEST(LegacyStore, UnknownVersionFailsToLoad)
{
    TempDir dir;
    const std::wstring path = dir.Path(L"old.dat");
    {
        CLegacyDataStore store;
        ASSERT_EQ(result::kOk, store.OpenStore(path.c_str(), true, false, false));
        BYTE header[12] = {2};
        ASSERT_TRUE(store.WriteUserHeader(0, header, 12));
    }
    CLegacyDataStore store;
    ASSERT_EQ(result::kOk, store.OpenStore(path.c_str(), false, false, true));
    EXPECT_FALSE(store.Load());
}

TEST(LegacyTree, ChildrenByNameAndDeletion)
{
    EXPECT_EQ(0u, LegacyTreeNode::NameHash(L""));
    EXPECT_EQ(LegacyTreeNode::NameHash(L"proxy"), LegacyTreeNode::NameHash(L"PROXY"));

    TempDir dir;
    const std::wstring path = dir.Path(L"old.dat");
    CLegacyDataStore store;
    ASSERT_EQ(result::kOk, store.OpenStore(path.c_str(), true, false, false));
    LegacyTreeNode root(L"", &store);
    root.SetFlags(0);
    LegacyTreeNode* a = root.AddChild(L"alpha", 5);
    ASSERT_NE(nullptr, a);
    EXPECT_EQ(a, root.AddChild(L"ALPHA", 5));
    EXPECT_EQ(a, root.FindChild(L"Alpha"));
    EXPECT_EQ(L"alpha", a->Name());
    LegacyTreeNode* hidden = root.AddChild(L"h", 1);
    hidden->SetFlags(LegacyTreeNode::kHidden);
    std::vector<std::wstring> names;
    ASSERT_TRUE(root.GetChildNames(names, false));
    EXPECT_EQ(1u, names.size());

    const BYTE v[2] = {1, 2};
    ULONGLONG id = 0;
    ASSERT_TRUE(store.AddValue(L"alpha", v, 2, &id));
    a->SetFlags(0);
    a->SetRecordId(id);
    a->SetCachedData(v, 2);
    BYTE small[1];
    DWORD size = 1;
    EXPECT_FALSE(a->GetCachedData(small, &size));
    LegacyTreeNode* handled = root.AddChild(L"handled", 7);
    handled->SetFlags(LegacyTreeNode::kHandled);
    int handledCalls = 0;
    ULONGLONG cached = 2;
    ASSERT_TRUE(root.DeleteSubtree([&](LegacyTreeNode&) { ++handledCalls; }, &cached));
    EXPECT_EQ(1, handledCalls);
    EXPECT_EQ(0u, cached);
    DWORD recordSize = 1;
    EXPECT_FALSE(store.GetRecordSize(id, &recordSize) && recordSize != 0);
}

// A tree far deeper than the stack could unwind one level at a time goes away whole, both
// when its root is destroyed and when a subtree is removed from its parent.
TEST(LegacyTree, DeepTreeIsFreedWithoutRecursion)
{
    enum End { kDestroyRoot, kRemoveSubtree };
    for (End end : {kDestroyRoot, kRemoveSubtree}) {
        SCOPED_TRACE(end == kDestroyRoot ? "root destroyed" : "subtree removed");
        auto root = std::make_unique<LegacyTreeNode>(L"", nullptr);
        LegacyTreeNode* top = root->AddChild(L"a", 1);
        ASSERT_NE(nullptr, top);
        LegacyTreeNode* node = top;
        for (int level = 0; level < 100000 && node != nullptr; ++level) {
            node->AddChild(L"side", 4); // a sibling at every level
            node = node->AddChild(L"a", 1);
        }
        ASSERT_NE(nullptr, node);
        if (end == kRemoveSubtree) {
            root->RemoveChild(top);
            EXPECT_EQ(nullptr, root->FindChild(L"a"));
        }
        root.reset();
    }
}
