#include "net/download/ManifestProxy.h"

#include "net/download/DownloadJson.h"
#include "net/download/ProxyKey.h"

#include <wincrypt.h>

#include <cwchar>
#include <vector>

namespace vek {
namespace {

std::uint32_t ReadPort(const nlohmann::json& node, const char* name)
{
    const nlohmann::json* member = JsonMember(node, name);
    if (member == nullptr)
        return 0;
    const nlohmann::json& v = *member;
    if (v.is_number_integer())
        return static_cast<std::uint32_t>(v.get<std::int64_t>());
    if (v.is_string()) {
        std::wstring text = Utf8ToWide(v.get<std::string>());
        return static_cast<std::uint32_t>(std::wcstol(text.c_str(), nullptr, 10));
    }
    return 0;
}

// Owners of the CryptoAPI handles.
struct CryptContext {
    HCRYPTPROV h = 0;
    ~CryptContext()
    {
        if (h)
            ::CryptReleaseContext(h, 0);
    }
};
struct CryptKey {
    HCRYPTKEY h = 0;
    ~CryptKey()
    {
        if (h)
            ::CryptDestroyKey(h);
    }
};

// The key comes from the build configuration masked byte by byte; it is put together only here,
// in the caller's buffer, which the caller wipes right after the import.
void BuildKey(BYTE (&key)[32])
{
    static const BYTE masked[32] = {VEK_PROXY_KEY_MASKED};
    volatile BYTE mask = VEK_PROXY_KEY_MASK;
    for (unsigned i = 0; i < 32; ++i)
        key[i] = static_cast<BYTE>(masked[i] ^ mask ^ static_cast<BYTE>(i * 13 % 256));
}

struct AesKeyBlob {
    BLOBHEADER header;
    DWORD length;
    BYTE key[32];
};

} // namespace

std::uint32_t GetProxyPort(const nlohmann::json& proxySettings, const std::wstring& address)
{
    std::uint32_t port = ReadPort(proxySettings, "port");
    std::uint32_t httpsPort = ReadPort(proxySettings, "https_port");
    if (address.starts_with(L"https://"))
        return httpsPort != 0 ? httpsPort : port;
    return port != 0 ? port : httpsPort;
}

void DecryptProxyPassword(SecureWString& holder, const std::wstring& encrypted)
{
    holder.Wipe();

    // The Base64 text in the ANSI code page.
    int n = ::WideCharToMultiByte(CP_ACP, 0, encrypted.c_str(), -1, nullptr, 0, nullptr, nullptr);
    if (n <= 1)
        return;
    std::string ansi(static_cast<size_t>(n), '\0');
    ::WideCharToMultiByte(CP_ACP, 0, encrypted.c_str(), -1, ansi.data(), n, nullptr, nullptr);
    DWORD size = 0;
    if (!::CryptStringToBinaryA(ansi.c_str(), 0, CRYPT_STRING_BASE64, nullptr, &size, nullptr, nullptr))
        return;
    std::vector<BYTE> data(size);
    if (!::CryptStringToBinaryA(ansi.c_str(), 0, CRYPT_STRING_BASE64, data.data(), &size, nullptr, nullptr) ||
        size < 32)
        return;
    data.resize(size);

    BYTE iv[16];
    memcpy(iv, data.data(), sizeof(iv));
    BYTE* cipher = data.data() + 16;
    DWORD cipherLength = size - 16;

    CryptContext context;
    if (!::CryptAcquireContextW(&context.h, nullptr, MS_ENH_RSA_AES_PROV_W, PROV_RSA_AES, CRYPT_VERIFYCONTEXT))
        return;

    CryptKey key;
    {
        AesKeyBlob blob{};
        blob.header.bType = PLAINTEXTKEYBLOB;
        blob.header.bVersion = CUR_BLOB_VERSION;
        blob.header.aiKeyAlg = CALG_AES_256;
        blob.length = 32;
        BuildKey(blob.key);
        BOOL imported = ::CryptImportKey(context.h, reinterpret_cast<BYTE*>(&blob), sizeof(blob), 0, 0, &key.h);
        ::SecureZeroMemory(&blob, sizeof(blob));
        if (!imported)
            return;
    }
    DWORD mode = CRYPT_MODE_CBC;
    bool set = ::CryptSetKeyParam(key.h, KP_MODE, reinterpret_cast<BYTE*>(&mode), 0) &&
               ::CryptSetKeyParam(key.h, KP_IV, iv, 0);
    ::SecureZeroMemory(iv, sizeof(iv));
    if (!set)
        return;

    // Final = FALSE: no padding is removed; the sender pads the UTF-16 text with zero bytes.
    DWORD length = cipherLength;
    if (::CryptDecrypt(key.h, 0, FALSE, 0, cipher, &length)) {
        auto* buffer = static_cast<wchar_t*>(::LocalAlloc(LPTR, 2 * static_cast<SIZE_T>(length) + 2));
        if (buffer != nullptr) {
            memcpy(buffer, cipher, length);
            holder.Attach(buffer);
        }
    }
    ::SecureZeroMemory(data.data(), data.size());
}

} // namespace vek
