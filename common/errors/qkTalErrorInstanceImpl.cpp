#include "common/errors/qkTalErrorInstanceImpl.h"

#include <cstdio>
#include <cstdlib>
#include <cwctype>
#include <mutex>
#include <vector>

#include "common/base/qkCrc32.h"
#include "common/base/qkCriticalSection.h"
#include "common/base/qkExceptionInfo.h"
#include "common/base/qkScopedLock.h"
#include "common/base/qkStringConvert.h"
#include "common/base/qkTrace.h"
#include "common/diag/qkFindHandle.h"
#include "common/objects/qkQueryInterface.h"
#include "common/errors/qkOptionReader.h"
#include "common/persist/IStringObject.h"
#include "common/persist/qkTalIndexValueCollectionImpl.h"
#include "common/persist/qkTalKeyValueCollectionImpl.h"
#include "common/persist/qkTalStringImpl.h"
#include "common/system/CIsolation.h"
#include "common/system/qkHandle.h"
#include "common/system/qkPathExpansion.h"
#include "common/system/qkRegistry.h"

using Microsoft::WRL::ComPtr;

namespace {

const HRESULT kNotReported = HRESULT_FROM_WIN32(1292);
const HRESULT kCallbackTimedOut = HRESULT_FROM_WIN32(ERROR_TIMEOUT);
constexpr DWORD kExceptionCode = 0x80000003;

qkCriticalSection& OptionsLock()
{
    static qkCriticalSection lock;
    return lock;
}

std::wstring Format(const wchar_t* format, ...)
{
    std::wstring text;
    va_list args;
    va_start(args, format);
    qkStringConvert::FormatV(text, format, args);
    va_end(args);
    return text;
}

std::wstring GuidFileName(const GUID& id)
{
    return Format(L"%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X.dat", id.Data1, id.Data2, id.Data3, id.Data4[0],
                  id.Data4[1], id.Data4[2], id.Data4[3], id.Data4[4], id.Data4[5], id.Data4[6], id.Data4[7]);
}

} // namespace

qkTalErrorInstanceImpl::~qkTalErrorInstanceImpl()
{
    const HRESULT hr = Finish();
    if (FAILED(hr))
        QK_TRACE(L"finishing the error instance failed, hr 0x%08X", hr);
}

DWORD qkTalErrorInstanceImpl::Random()
{
    unsigned int value = 0;
    if (rand_s(&value) == 0)
        return value;
    static std::once_flag seeded;
    std::call_once(seeded, [] { std::srand(::GetTickCount()); });
    return (static_cast<DWORD>(std::rand()) << 15) + static_cast<DWORD>(std::rand());
}

HRESULT qkTalErrorInstanceImpl::GetOptions(qkTalErrorClientOptions& options)
{
    qkScopedLock lock(OptionsLock());
    if (!m_optionsLoaded) {
        if (!m_options.Load()) {
            QK_TRACE(L"the error-client options could not be read");
            return E_FAIL;
        }
        m_optionsLoaded = true;
    }
    options = m_options;
    return S_OK;
}

HRESULT qkTalErrorInstanceImpl::ShouldReport(DWORD divisor)
{
    if (divisor == 0)
        return E_INVALIDARG;
    if (Random() % divisor != 0)
        return kNotReported;
    qkExceptionInfo info;
    try {
        qkTalErrorClientOptions options;
        const HRESULT hr = GetOptions(options);
        if (FAILED(hr))
            return hr;
        if (!options.LogLogicalFailures)
            return kNotReported;
        if (options.Directory.empty())
            return E_INVALIDARG;
        return S_OK;
    }
    QK_CATCH(info)
    return E_OUTOFMEMORY;
}

HRESULT qkTalErrorInstanceImpl::Report(const CONTEXT& context, const wchar_t* idText, ULONG_PTR failureAddress,
                                       DWORD number1, DWORD number2, DWORD number3, bool terminate, bool dumpAllowed,
                                       DWORD divisor, const wchar_t* extraText)
{
    qkExceptionInfo info;
    HRESULT hr = E_OUTOFMEMORY;
    try {
        hr = BuildInstance(context, idText, failureAddress, number1, number2, number3, terminate, dumpAllowed, divisor,
                           extraText);
    }
    QK_CATCH(info)
    if (info.HasError()) {
        info.SetExceptionType(L"qkTalErrorInstanceImpl");
        QK_TRACE(L"%s", info.GetFullText());
        return E_OUTOFMEMORY;
    }
    if (FAILED(hr))
        QK_TRACE(L"the error instance was not written, hr 0x%08X", hr);
    return hr;
}

HRESULT qkTalErrorInstanceImpl::ComputeBucket(IKeyValueCollection* collection)
{
    if (!collection->Exists(14))
        return E_INVALIDARG;
    ULONGLONG offset = 0;
    if (!collection->GetUInt64(14, &offset))
        return E_UNEXPECTED;
    std::vector<BYTE> bytes;
    bytes.reserve(28);
    ComPtr<IUnknown> object;
    ComPtr<IStringObject> text;
    if (collection->GetObject(11, &object) && SUCCEEDED(qkQueryInterface(object.Get(), CLSID_qkTalString, text))) {
        std::wstring name;
        if (!qkLib::GetStringObjectText(text.Get(), name))
            return E_OUTOFMEMORY;
        for (wchar_t& c : name)
            c = static_cast<wchar_t>(std::towlower(c));
        const BYTE* raw = reinterpret_cast<const BYTE*>(name.data());
        bytes.insert(bytes.end(), raw, raw + name.size() * sizeof(wchar_t));
    }
    const BYTE* raw = reinterpret_cast<const BYTE*>(&offset);
    bytes.insert(bytes.end(), raw, raw + sizeof(offset));
    if (!collection->SetUInt32(3, qkLib::Crc32(bytes.data(), static_cast<DWORD>(bytes.size()))))
        return E_OUTOFMEMORY;
    return S_OK;
}

bool qkTalErrorInstanceImpl::IsProtectedMode()
{
    static std::once_flag asked;
    static bool protectedMode = false;
    std::call_once(asked, [] {
        if (!::GetModuleHandleW(L"IEFRAME"))
            return;
        HMODULE frame = ::LoadLibraryW(L"IEFRAME.DLL");
        if (!frame)
            return;
        using Fn = HRESULT(WINAPI*)(BOOL*);
        auto isProtected =
            reinterpret_cast<Fn>(reinterpret_cast<void*>(::GetProcAddress(frame, "IEIsProtectedModeProcess")));
        BOOL answer = FALSE;
        protectedMode = isProtected && SUCCEEDED(isProtected(&answer)) && answer;
        ::FreeLibrary(frame);
    });
    return protectedMode;
}

HRESULT qkTalErrorInstanceImpl::BuildInstance(const CONTEXT& context, const wchar_t* idText, ULONG_PTR failureAddress,
                                              DWORD number1, DWORD number2, DWORD number3, bool terminate,
                                              bool dumpAllowed, DWORD divisor, const wchar_t* extraText)
{
    HRESULT hr = Finish();
    if (FAILED(hr))
        QK_TRACE(L"finishing the earlier instance failed, hr 0x%08X", hr);
    m_instanceWritten = false;
    m_inTemporaryFolder = false;
    m_terminateOnFinish = false;
    if (!m_optionsLoaded)
        return E_UNEXPECTED;
    qkTalErrorClientOptions options;
    hr = GetOptions(options);
    if (FAILED(hr))
        return hr;
    hr = m_analyzer.Prepare();
    if (FAILED(hr))
        return hr;
    ComPtr<IKeyValueCollection> collection;
    qkAdopt(collection, qkTalKeyValueCollectionImpl::Create());
    if (!collection)
        return E_OUTOFMEMORY;
    hr = m_analyzer.Analyze(&context, idText, failureAddress, number1, number2, number3, collection.Get());
    if (FAILED(hr))
        return hr;
    auto setText = [&](ULONG key, const wchar_t* text) {
        ComPtr<IStringObject> object;
        qkAdopt(object, qkTalStringImpl::CreateWithText(text));
        return object && collection->SetObject(key, object.Get());
    };
    if ((!options.ProductName.empty() && !setText(4, options.ProductName.c_str())) ||
        (!options.ProductVersion.empty() && !setText(5, options.ProductVersion.c_str())) ||
        !collection->SetUInt32(31, divisor) || (extraText && !setText(32, extraText)))
        return E_OUTOFMEMORY;
    hr = ComputeBucket(collection.Get());
    if (FAILED(hr))
        return hr;
    bool own = false;
    collection->GetBool(25, &own);
    if (terminate && own)
        m_terminateOnFinish = true;

    std::wstring directory;
    if (!qkPathExpansion::ExpandPath(options.Directory.c_str(), directory))
        return E_UNEXPECTED;
    const bool protectedMode = IsProtectedMode();
    hr = E_ACCESSDENIED;
    if (!protectedMode && own) {
        hr = CreateInstanceFile(directory, collection.Get(), nullptr);
        if (hr == S_FALSE)
            return S_FALSE;
        if (FAILED(hr) && hr != HRESULT_FROM_WIN32(ERROR_ACCESS_DENIED))
            return hr;
    }
    if (protectedMode || !own || hr == HRESULT_FROM_WIN32(ERROR_ACCESS_DENIED)) {
        wchar_t temp[MAX_PATH];
        const DWORD n = ::GetTempPathW(MAX_PATH, temp);
        if (n == 0 || n >= MAX_PATH)
            return HRESULT_FROM_WIN32(::GetLastError());
        std::wstring folder(temp, n);
        while (!folder.empty() && folder.back() == L'\\')
            folder.pop_back();
        m_inTemporaryFolder = true;
        hr = CreateInstanceFile(directory, collection.Get(), &folder);
        if (hr == S_FALSE || FAILED(hr))
            return hr;
    }
    hr = m_store.SaveMainRecord(collection.Get());
    if (FAILED(hr)) {
        // An instance file without its main record tells nothing: it goes.
        std::wstring path;
        m_store.GetPath(path);
        m_store.Close();
        if (!path.empty() && !::DeleteFileW(path.c_str()))
            QK_TRACE(L"deleting %s failed, error %lu", path.c_str(), ::GetLastError());
        return hr;
    }
    m_instanceWritten = true;
    if (options.DumpOnLogicalFailure && dumpAllowed) {
        EXCEPTION_RECORD record{};
        record.ExceptionCode = kExceptionCode;
        record.ExceptionAddress = reinterpret_cast<PVOID>(failureAddress);
        CONTEXT copy = context;
        const HRESULT dump = m_analyzer.WriteDump(m_store, options.DumpType, &record, &copy);
        if (FAILED(dump)) {
            QK_TRACE(L"the dump was not written, hr 0x%08X", dump);
            return S_FALSE;
        }
    }
    return S_OK;
}

HRESULT qkTalErrorInstanceImpl::ReadMaxDumpsPerBucket(DWORD& maximum)
{
    maximum = kDefaultMaxDumpsPerBucket;
    std::wstring path;
    if (!qkOptionReader::SiloKeyPath(L"Keel Core\\Debug\\ErrorClient", path))
        return E_UNEXPECTED;
    qkRegistry key;
    if (!key.Open(HKEY_LOCAL_MACHINE, path.c_str(), KEY_READ | CIsolation::GetRegistryViewFlags()))
        return S_OK;
    DWORD value = 0;
    if (key.QueryDWORDValue(L"MaxDumpsPerBucket", value))
        maximum = value;
    return S_OK;
}

HRESULT qkTalErrorInstanceImpl::CreateInstanceFile(const std::wstring& directory, IKeyValueCollection* collection,
                                                   const std::wstring* folder)
{
    ULONG bucket = 0;
    GUID id{};
    if (!collection->GetUInt32(3, &bucket) || !collection->GetGuid(2, &id))
        return E_INVALIDARG;
    const std::wstring bucketFolder = directory + L"\\" + Format(L"%08X", bucket);
    DWORD count = 0;
    if (::GetFileAttributesW(bucketFolder.c_str()) != INVALID_FILE_ATTRIBUTES) {
        WIN32_FIND_DATAW found;
        qkFindHandle search(::FindFirstFileW((bucketFolder + L"\\*.dat").c_str(), &found));
        if (!search.IsValid()) {
            const DWORD error = ::GetLastError();
            if (error != ERROR_FILE_NOT_FOUND && error != ERROR_NO_MORE_FILES)
                return HRESULT_FROM_WIN32(error);
        } else {
            do {
                if (found.dwFileAttributes & (FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_NORMAL))
                    ++count;
            } while (::FindNextFileW(search.Get(), &found));
        }
    }
    DWORD maximum = 0;
    HRESULT hr = ReadMaxDumpsPerBucket(maximum);
    if (FAILED(hr))
        return hr;
    if (count >= maximum) {
        QK_TRACE(L"bucket %s is full (%lu files)", bucketFolder.c_str(), count);
        return S_FALSE;
    }
    std::wstring target;
    if (!folder) {
        if (!::CreateDirectoryW(bucketFolder.c_str(), nullptr) && ::GetLastError() != ERROR_ALREADY_EXISTS)
            return HRESULT_FROM_WIN32(::GetLastError());
        target = bucketFolder;
    } else {
        target = *folder;
    }
    const std::wstring path = target + L"\\" + GuidFileName(id);
    if (::GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES)
        return E_UNEXPECTED;
    qkTalErrorInstanceStore::OpenParams params;
    params.path = path.c_str();
    params.access = GENERIC_READ | GENERIC_WRITE;
    params.shareMode = FILE_SHARE_READ;
    params.disposition = CREATE_NEW;
    params.flagsAndAttributes = FILE_ATTRIBUTE_NORMAL;
    return m_store.Open(params);
}

HRESULT qkTalErrorInstanceImpl::FetchPropertyCollection()
{
    if (m_properties)
        return S_OK;
    HRESULT hr = m_store.LoadPropertyList(m_properties.ReleaseAndGetAddressOf());
    if (hr == HRESULT_FROM_WIN32(ERROR_NOT_FOUND)) {
        qkAdopt(m_properties, qkTalIndexValueCollectionImpl::Create());
        hr = m_properties ? S_OK : E_OUTOFMEMORY;
    }
    return hr;
}

HRESULT qkTalErrorInstanceImpl::SetProperty(const wchar_t* name, const wchar_t* value)
{
    if (!m_store.IsOpen())
        return E_UNEXPECTED;
    qkExceptionInfo info;
    try {
        ComPtr<IKeyValueCollection> entry;
        qkAdopt(entry, qkTalKeyValueCollectionImpl::Create());
        ComPtr<IStringObject> nameText, valueText;
        qkAdopt(nameText, qkTalStringImpl::CreateWithText(name ? name : L""));
        qkAdopt(valueText, qkTalStringImpl::CreateWithText(value ? value : L""));
        if (!entry || !nameText || !valueText || !entry->SetObject(0, nameText.Get()) ||
            !entry->SetObject(1, valueText.Get()))
            return E_OUTOFMEMORY;
        const HRESULT hr = FetchPropertyCollection();
        if (FAILED(hr))
            return hr;
        if (!m_properties->AppendObject(entry.Get())) {
            QK_TRACE(L"adding the property %s failed", name ? name : L"");
            return E_OUTOFMEMORY;
        }
        return S_OK;
    }
    QK_CATCH(info)
    return E_OUTOFMEMORY;
}

HRESULT qkTalErrorInstanceImpl::AddCertAnalysis(IByteStream* stream)
{
    if (!m_store.IsOpen())
        return E_UNEXPECTED;
    return m_store.AddCertAnalysis(stream);
}

HRESULT qkTalErrorInstanceImpl::StartCallback(const std::wstring& path)
{
    qkTalErrorClientOptions options;
    HRESULT hr = GetOptions(options);
    if (FAILED(hr))
        return hr;
    if (!options.CallbackOnLogicalFailure || options.LogicalFailureCallback.empty())
        return S_FALSE;
    const std::wstring& program = options.LogicalFailureCallback;
    std::wstring command = program.front() == L'"' ? program + L" /file \"" + path + L"\""
                                                   : L"\"" + program + L"\" /file \"" + path + L"\"";
    if (m_inTemporaryFolder)
        command += L" /tempfile";
    std::vector<wchar_t> line(command.begin(), command.end());
    line.push_back(L'\0');
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION started{};
    if (!::CreateProcessW(nullptr, line.data(), nullptr, nullptr, FALSE, CREATE_NO_WINDOW, nullptr, nullptr, &startup,
                          &started)) {
        const DWORD error = ::GetLastError();
        QK_TRACE(L"starting the callback %s failed, error %lu", command.c_str(), error);
        return HRESULT_FROM_WIN32(error);
    }
    qkHandle process(started.hProcess);
    qkHandle thread(started.hThread);
    const DWORD waited = ::WaitForSingleObject(process.Get(), m_callbackTimeout);
    if (waited != WAIT_OBJECT_0) {
        QK_TRACE(L"the callback %s did not end in time (%lu)", command.c_str(), waited);
        return kCallbackTimedOut;
    }
    return S_OK;
}

HRESULT qkTalErrorInstanceImpl::Finish()
{
    if (m_store.IsOpen()) {
        if (m_properties) {
            const HRESULT saved = m_store.SavePropertyList(m_properties.Get());
            if (FAILED(saved))
                QK_TRACE(L"writing the properties failed, hr 0x%08X", saved);
            m_properties.Reset();
        }
        std::wstring path;
        if (m_instanceWritten && FAILED(m_store.GetPath(path)))
            path.clear();
        m_store.Close();
        if (m_instanceWritten && !path.empty()) {
            const HRESULT callback = StartCallback(path);
            // A callback still running may yet read the file: it stays.
            if (m_inTemporaryFolder && callback != S_OK && callback != kCallbackTimedOut &&
                !::DeleteFileW(path.c_str()))
                QK_TRACE(L"deleting %s failed, error %lu", path.c_str(), ::GetLastError());
        }
    }
    m_analyzer.ResetSession();
    if (m_terminateOnFinish) {
        if (!::TerminateProcess(::GetCurrentProcess(), kTerminateExitCode))
            return HRESULT_FROM_WIN32(::GetLastError());
    }
    return S_OK;
}
