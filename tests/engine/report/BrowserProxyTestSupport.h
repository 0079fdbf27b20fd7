#pragma once
// The launcher's own browser proxy reader over a test's registry roots and application-data
// folder (tests/net/proxy/ProxyTestSupport), with the default browser the shell would name given
// by the test: the reporters' proxy discovery reads real Internet Settings values and Firefox
// profile files, and never the machine's.
#include "net/proxy/IBrowserProxyProvider.h"
#include "net/proxy/Tolk_CInstallEngineWinHTTPClient.h"

#include <memory>
#include <string>
#include <utility>

namespace reporttest {

class TestBrowser : public vek::IBrowserProxyProvider {
public:
    // progId: the default "http" handler's program id, for example "FirefoxURL-308046B0AF4A39CB"
    // or "IE.HTTP".
    TestBrowser(Tolk::CInstallEngineWinHTTPClient::Roots roots, std::wstring progId)
        : m_reader(std::move(roots), std::move(progId))
    {}
    HRESULT GetProxyFromBrowser(Tolk::BrowserProxy& proxy, bool registryOnly) override
    {
        ++asked;
        return m_reader.GetProxyFromBrowser(proxy, registryOnly);
    }
    int asked = 0;

private:
    class Reader : public Tolk::CInstallEngineWinHTTPClient {
    public:
        Reader(Roots roots, std::wstring progId)
            : CInstallEngineWinHTTPClient(std::move(roots)), m_progId(std::move(progId))
        {}

    protected:
        HRESULT QueryDefaultBrowser(std::wstring& progId) override
        {
            progId = m_progId;
            return S_OK;
        }

    private:
        std::wstring m_progId;
    };
    Reader m_reader;
};

// Roots with nothing below them: no Internet Settings, no Firefox profile.
inline std::shared_ptr<TestBrowser> BrowserWithoutProxy(HKEY emptyKey, const std::wstring& emptyFolder)
{
    Tolk::CInstallEngineWinHTTPClient::Roots roots;
    roots.currentUser = emptyKey;
    roots.localMachine = emptyKey;
    roots.classesRoot = emptyKey;
    roots.appData = emptyFolder;
    return std::make_shared<TestBrowser>(roots, L"IE.HTTP");
}

} // namespace reporttest
