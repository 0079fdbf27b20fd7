#include "InstanceFileSupport.h"

#include <algorithm>
#include <filesystem>
#include <sstream>

#include <wrl/client.h>

#include "StackWalkSupport.h"
#include "common/diag/qkTalErrorInstanceStore.h"
#include "common/system/CIsolation.h"

namespace diagtest {

using Microsoft::WRL::ComPtr;

ErrorClientFixture::ErrorClientFixture()
{
    logtest::RemoveFixtures();
    // Directory is expanded through the installation's path map, which must exist.
    m_map = std::make_unique<logtest::FixtureKey>(std::wstring(CIsolation::GetSiloRegistryPath()) +
                                                  L"\\Keel Core\\PathExpansionMap");
    m_key = std::make_unique<logtest::FixtureKey>(logtest::DebugKeyPath() + L"\\ErrorClient");
    m_key->String(L"Directory", m_root.Path());
    m_key->Dword(L"MaxDumpsPerBucket", 100);
    m_key->Dword(L"DumpOnLogicalFailure", 1);
    m_key->Dword(L"DumpType", 0);
}

ErrorClientFixture::~ErrorClientFixture()
{
    m_key.reset();
    m_map.reset();
    logtest::RemoveFixtures();
}

std::vector<std::wstring> ErrorClientFixture::InstanceFiles() const
{
    std::vector<std::wstring> files;
    std::error_code ignored;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(m_root.Path(), ignored))
        if (entry.path().extension() == L".dat")
            files.push_back(entry.path().wstring());
    return files;
}

std::wstring InstanceFile::Property(const wchar_t* name) const
{
    for (const auto& [key, value] : properties)
        if (key == name)
            return value;
    return L"(none)";
}

InstanceFile ReadInstance(const std::wstring& path)
{
    InstanceFile file;
    qkTalErrorInstanceStore store;
    qkTalErrorInstanceStore::OpenParams params;
    params.path = path.c_str();
    params.access = GENERIC_READ;
    params.options = qkTalErrorInstanceStore::OptionAttachmentIndex;
    if (FAILED(store.Open(params))) {
        file.error = "the instance file does not open";
        return file;
    }
    ComPtr<IKeyValueCollection> main;
    if (FAILED(store.LoadMainRecord(&main))) {
        file.error = "no main record";
        return file;
    }
    file.hasNumbers = main->GetUInt32(17, &file.numbers[0]) && main->GetUInt32(18, &file.numbers[1]) &&
                      main->GetUInt32(19, &file.numbers[2]);
    main->GetUInt64(14, &file.failureOffset);
    file.idText = Text(main.Get(), 16);
    ComPtr<IIndexValueCollection> list;
    if (SUCCEEDED(store.LoadPropertyList(&list))) {
        for (ULONG i = 0; i < list->GetCount(); ++i) {
            ComPtr<IUnknown> object;
            ComPtr<IKeyValueCollection> entry;
            if (list->GetObject(i, &object) &&
                SUCCEEDED(qkQueryInterface(object.Get(), CLSID_qkTalKeyValueCollection, entry)))
                file.properties.emplace_back(Text(entry.Get(), 0), Text(entry.Get(), 1));
        }
    }
    for (const auto& attachment : store.GetAttachments()) {
        file.attachments.push_back(attachment.name);
        if (attachment.name == L"Dump" && FAILED(store.ReadAttachment(attachment, file.dump))) {
            file.error = "the dump does not read";
            return file;
        }
    }
    file.ok = true;
    return file;
}

std::string WalkReachesTheReporter(const InstanceFile& instance)
{
    if (instance.dump.empty())
        return "no dump";
    wchar_t program[MAX_PATH];
    GetModuleFileNameW(nullptr, program, MAX_PATH);
    const DumpWalk walk = WalkDump(instance.dump, program);
    if (!walk.ok)
        return walk.error;
    // The reporting call follows the place the failure address names, in the same function.
    constexpr ULONGLONG kNear = 512;
    const bool reached = std::any_of(walk.offsets.begin(), walk.offsets.end(), [&](ULONGLONG offset) {
        return offset > instance.failureOffset && offset - instance.failureOffset < kNear;
    });
    if (reached)
        return {};
    std::ostringstream text;
    text << std::hex << "failure offset 0x" << instance.failureOffset << ", frames:";
    for (ULONGLONG offset : walk.offsets)
        text << " 0x" << offset;
    return text.str();
}

} // namespace diagtest
