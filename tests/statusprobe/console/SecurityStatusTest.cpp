// Test stand-in for a product's security-status DLL. It answers Execute from a small script that
// the test writes (file named by VEK_SSTEST_SCRIPT) and records every call it gets (file named by
// VEK_SSTEST_LOG), so that tests can steer what StatusProbe prints and see what it sent.
//
// Script lines (UTF-8):
//   create <hex HRESULT>|null       SDKCreateObject fails with that code / succeeds without object
//   <code>|default <answer>          how Execute answers that operation code (default: others)
// An answer is a list of tokens: hr=<hex> (Execute's result), error=<n> (VT_I4 error VARIANT),
// and one result: i4=<n>, i2=<n>, bool=<n>, r8=<x>, empty, null, bstr=<rest of the line>.
// Without a line, a code answers VT_I4 258.
//
// Log lines: "create", "execute <reserved> <vt>:<command> <vt>:<parameter> <result vt> <error vt>"
// (the out VARIANTs as they arrived), "destroyed".
#include "statusprobe/ISecurityStatus.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <sstream>
#include <string>

namespace {

std::string EnvPath(const wchar_t* name)
{
    wchar_t buffer[MAX_PATH * 2] = {};
    const DWORD length = ::GetEnvironmentVariableW(name, buffer, MAX_PATH * 2);
    if (length == 0 || length >= MAX_PATH * 2) {
        return {};
    }
    char narrow[MAX_PATH * 6] = {};
    ::WideCharToMultiByte(CP_UTF8, 0, buffer, -1, narrow, sizeof(narrow), nullptr, nullptr);
    return narrow;
}

std::string ToUtf8(const wchar_t* text, UINT length)
{
    if (length == 0) {
        return {};
    }
    const int size = ::WideCharToMultiByte(CP_UTF8, 0, text, static_cast<int>(length), nullptr, 0, nullptr, nullptr);
    std::string out(static_cast<size_t>(size), '\0');
    ::WideCharToMultiByte(CP_UTF8, 0, text, static_cast<int>(length), out.data(), size, nullptr, nullptr);
    return out;
}

std::wstring FromUtf8(const std::string& text)
{
    if (text.empty()) {
        return {};
    }
    const int size = ::MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    std::wstring out(static_cast<size_t>(size), L'\0');
    ::MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), size);
    return out;
}

void Log(const std::string& line)
{
    const std::string path = EnvPath(L"VEK_SSTEST_LOG");
    if (path.empty()) {
        return;
    }
    std::ofstream out(path, std::ios::app | std::ios::binary);
    out << line << '\n';
}

// The script: "create" line and one answer text per code.
struct Script {
    std::string create;
    std::map<std::string, std::string> answers;
};

Script ReadScript()
{
    Script script;
    const std::string path = EnvPath(L"VEK_SSTEST_SCRIPT");
    if (path.empty()) {
        return script;
    }
    std::ifstream in(path, std::ios::binary);
    std::string line;
    while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();
        }
        const size_t blank = line.find(' ');
        const std::string key = line.substr(0, blank);
        const std::string rest = blank == std::string::npos ? std::string() : line.substr(blank + 1);
        if (key == "create") {
            script.create = rest;
        } else if (!key.empty()) {
            script.answers[key] = rest;
        }
    }
    return script;
}

std::string Describe(const VARIANT& value)
{
    std::ostringstream out;
    out << value.vt << ':';
    if (value.vt == VT_I4) {
        out << value.lVal;
    } else if (value.vt == VT_BSTR) {
        out << ToUtf8(value.bstrVal, ::SysStringLen(value.bstrVal));
    }
    return out.str();
}

// Fills result and error from an answer text; returns Execute's HRESULT.
HRESULT Answer(const std::string& answer, VARIANT* result, VARIANT* error)
{
    HRESULT hr = S_OK;
    std::string rest = answer;
    while (!rest.empty()) {
        const size_t blank = rest.find(' ');
        std::string token = rest.substr(0, blank);
        if (token.rfind("bstr=", 0) == 0) {
            // The text runs to the end of the line, blanks included.
            const std::wstring text = FromUtf8(rest.substr(5));
            result->vt = VT_BSTR;
            result->bstrVal = ::SysAllocStringLen(text.data(), static_cast<UINT>(text.size()));
            break;
        }
        rest = blank == std::string::npos ? std::string() : rest.substr(blank + 1);
        const size_t equals = token.find('=');
        const std::string name = token.substr(0, equals);
        const std::string value = equals == std::string::npos ? std::string() : token.substr(equals + 1);
        if (name == "hr") {
            hr = static_cast<HRESULT>(std::strtoul(value.c_str(), nullptr, 16));
        } else if (name == "error") {
            error->vt = VT_I4;
            error->lVal = std::strtol(value.c_str(), nullptr, 10);
        } else if (name == "i4") {
            result->vt = VT_I4;
            result->lVal = std::strtol(value.c_str(), nullptr, 10);
        } else if (name == "i2") {
            result->vt = VT_I2;
            result->iVal = static_cast<SHORT>(std::strtol(value.c_str(), nullptr, 10));
        } else if (name == "bool") {
            result->vt = VT_BOOL;
            result->boolVal = static_cast<VARIANT_BOOL>(std::strtol(value.c_str(), nullptr, 10));
        } else if (name == "r8") {
            result->vt = VT_R8;
            result->dblVal = std::strtod(value.c_str(), nullptr);
        } else if (name == "empty") {
            result->vt = VT_EMPTY;
        } else if (name == "null") {
            result->vt = VT_NULL;
        }
    }
    return hr;
}

class TestSecurityStatus final : public ISecurityStatus {
public:
    explicit TestSecurityStatus(Script script) : m_script(std::move(script)) {}

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override
    {
        if (object == nullptr) {
            return E_POINTER;
        }
        if (iid == IID_IUnknown || iid == IID_ISecurityStatus) {
            *object = static_cast<ISecurityStatus*>(this);
            AddRef();
            return S_OK;
        }
        *object = nullptr;
        return E_NOINTERFACE;
    }

    ULONG STDMETHODCALLTYPE AddRef() override { return ++m_references; }

    ULONG STDMETHODCALLTYPE Release() override
    {
        const ULONG left = --m_references;
        if (left == 0) {
            Log("destroyed");
            delete this;
        }
        return left;
    }

    HRESULT STDMETHODCALLTYPE Execute(LONG reserved, VARIANT command, VARIANT parameter, VARIANT* result,
                                      VARIANT* error) override
    {
        if (result == nullptr || error == nullptr) {
            return E_POINTER;
        }
        std::ostringstream line;
        line << "execute " << reserved << ' ' << Describe(command) << ' ' << Describe(parameter) << ' ' << result->vt
             << ' ' << error->vt;
        Log(line.str());

        std::string key = command.vt == VT_I4 ? std::to_string(command.lVal) : std::string();
        auto found = m_script.answers.find(key);
        if (found == m_script.answers.end()) {
            found = m_script.answers.find("default");
        }
        return Answer(found != m_script.answers.end() ? found->second : std::string("i4=258"), result, error);
    }

private:
    std::atomic<ULONG> m_references{1};
    Script m_script;
};

} // namespace

extern "C" HRESULT STDAPICALLTYPE SDKCreateObject(REFIID iid, void** object)
{
    if (object == nullptr) {
        return E_POINTER;
    }
    *object = nullptr;
    Script script = ReadScript();
    Log(iid == IID_ISecurityStatus ? "create" : "create wrong-iid");
    if (script.create == "null") {
        return S_OK;
    }
    if (!script.create.empty()) {
        return static_cast<HRESULT>(std::strtoul(script.create.c_str(), nullptr, 16));
    }
    if (iid != IID_ISecurityStatus) {
        return E_NOINTERFACE;
    }
    *object = static_cast<ISecurityStatus*>(new TestSecurityStatus(std::move(script)));
    return S_OK;
}
