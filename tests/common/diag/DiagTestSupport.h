#pragma once
// Helpers of the diagnostics tests: a temporary folder of the test's own and whole-file access.
#include <windows.h>

#include <wrl/client.h>

#include "common/objects/qkQueryInterface.h"
#include "common/persist/IStringObject.h"
#include "common/persist/IValueCollection.h"
#include "common/persist/qkTalStringImpl.h"

#include <string>
#include <vector>

namespace diagtest {

class TempFolder {
public:
    explicit TempFolder(const wchar_t* tag = L"diag");
    ~TempFolder();
    TempFolder(const TempFolder&) = delete;
    TempFolder& operator=(const TempFolder&) = delete;
    const std::wstring& Path() const { return m_path; }
    std::wstring Path(const std::wstring& name) const { return m_path + L"\\" + name; }

private:
    std::wstring m_path;
};

std::vector<BYTE> ReadAll(const std::wstring& path);
bool WriteAll(const std::wstring& path, const std::vector<BYTE>& bytes);
// The folder of the running test program.
std::wstring ProgramFolder();

// The text object stored under a key of a collection; empty when there is none.
inline std::wstring Text(IValueCollection* collection, ULONG key)
{
    Microsoft::WRL::ComPtr<IUnknown> object;
    Microsoft::WRL::ComPtr<IStringObject> text;
    std::wstring out;
    if (collection->GetObject(key, &object) && SUCCEEDED(qkQueryInterface(object.Get(), CLSID_qkTalString, text)))
        qkLib::GetStringObjectText(text.Get(), out);
    return out;
}

} // namespace diagtest
