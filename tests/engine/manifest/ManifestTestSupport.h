#pragma once
// Helpers of the manifest tests: a system and installed products to play, a small endpoint
// manifest, and short ways to read file names out of a job node.
#include "engine/manifest/CManifest.h"
#include "engine/manifest/COSVersionInfo.h"
#include "engine/manifest/ManifestDocument.h"
#include "services/detect/CLegacyProductDetector.h"
#include "services/msi/CMsiUtils.h"
#include "services/msi/EndpointUpgradeCodes.h"

#include "common/base/qkDebugOutput.h"
#include "common/errors/qkLog.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <memory>
#include <string>
#include <vector>

namespace manifesttest {

using json = nlohmann::json;

class FakeOS : public vek::COSVersionInfo {
public:
    bool server = false;
    bool notWow64 = false; // a 32-bit launcher on a 64-bit system
    DWORD build = 19045;
    std::wstring locale = L"de-DE";

    bool IsServer() override { return server; }
    bool IsNotWow64() override { return notWow64; }
    bool IsBuild(DWORD wanted, bool orGreater) override { return orGreater ? build >= wanted : build == wanted; }
    std::wstring GetSystemLocaleName() override { return locale; }
};

// Windows Installer with the endpoint product installed (or not) under its real upgrade codes:
// the utility's own choice of code and version comparison run, only the Installer's answers are
// played. A product under any other upgrade code is not installed.
class FakeMsi : public CMsiUtils {
public:
    std::wstring installedVersion; // empty: not installed
    bool wow64 = false;
    std::wstring askedVersion;
    std::vector<std::wstring> askedCodes;

    int CompareInstalledVersion(const wchar_t* code32, const wchar_t* code64, const wchar_t* version) override
    {
        askedVersion = version ? version : L"";
        return CMsiUtils::CompareInstalledVersion(code32, code64, version);
    }
    std::wstring GetProductCodeByUpgradeCode(const wchar_t* upgradeCode) override
    {
        askedCodes.push_back(upgradeCode ? upgradeCode : L"");
        const std::wstring expected = wow64 ? vek::kEndpointUpgradeCode64 : vek::kEndpointUpgradeCode32;
        return !installedVersion.empty() && upgradeCode && expected == upgradeCode
                   ? L"{E0E0E0E0-0000-4000-8000-000000000001}"
                   : L"";
    }
    bool GetProductVersion(const wchar_t*, std::wstring& version) override
    {
        version = installedVersion;
        return !installedVersion.empty();
    }

protected:
    bool IsWow64() override { return wow64; }
};

class FakeDetector : public vek::CLegacyProductDetector {
public:
    bool hostedAgent = false;
    bool IsHostedAgentInstalled() override { return hostedAgent; }
};

// Standard Base64 of a text, for install_options.
inline std::string Base64(const std::string& text)
{
    static const char* alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    size_t i = 0;
    for (; i + 2 < text.size(); i += 3) {
        const unsigned v = (static_cast<unsigned char>(text[i]) << 16) |
                           (static_cast<unsigned char>(text[i + 1]) << 8) | static_cast<unsigned char>(text[i + 2]);
        out += {alphabet[(v >> 18) & 63], alphabet[(v >> 12) & 63], alphabet[(v >> 6) & 63], alphabet[v & 63]};
    }
    if (i + 1 == text.size()) {
        const unsigned v = static_cast<unsigned char>(text[i]) << 16;
        out += {alphabet[(v >> 18) & 63], alphabet[(v >> 12) & 63], '=', '='};
    } else if (i + 2 == text.size()) {
        const unsigned v = (static_cast<unsigned char>(text[i]) << 16) | (static_cast<unsigned char>(text[i + 1]) << 8);
        out += {alphabet[(v >> 18) & 63], alphabet[(v >> 12) & 63], alphabet[(v >> 6) & 63], '='};
    }
    return out;
}

inline std::string InstallOptions(const std::string& removalOption)
{
    return Base64(json{{"settings", {{"removal_option", removalOption}}}}.dump());
}

// An endpoint product's manifest: files of each component, platform, system and type.
inline json EndpointManifest()
{
    return json::parse(R"({
      "vek": {
        "global": {"manifest_id": "m-1", "telemetry_product_name": "Vek", "reporting_url": "https://r.example/"},
        "environment": {},
        "bootstrap": {"distribution_type": "web", "options": {"proxy_settings": {"type": "custom", "password": "p"}}},
        "job_array": [{
          "job_id": "{1}",
          "create_msi": "false",
          "product_data": {"run_key": "QOR"},
          "distribution": {"components": "qor,ombl", "cc_token": "T", "install_options": "e30=",
                           "ombl_install_options": "O", "customer_id": "C", "domain_id": "D", "ui_mode": "SILENT"},
          "file_array": [
            {"source_file": "https://d/en-US/qor64.msi", "destination_file": "qor64.msi", "type": "job_installer",
             "component": "qor", "platform": "x64", "version": "2.0"},
            {"source_file": "https://d/en-US/qor32.msi", "destination_file": "qor32.msi", "type": "job_installer",
             "component": "qor", "platform": "x86"},
            {"source_file": "s", "destination_file": "ombl.msi", "type": "job_installer", "component": "ombl"},
            {"source_file": "s", "destination_file": "wox.appx", "component": "wox"},
            {"source_file": "s", "destination_file": "plugin.dll", "type": "job_plugin2"},
            {"source_file": "s", "destination_file": "server.cab", "os_type": "server"},
            {"source_file": "s", "destination_file": "client.cab", "os_type": "client"},
            {"source_file": "s", "destination_file": "new.cab", "os_build": "17763"},
            {"source_file": "s", "destination_file": "uninst.exe", "type": "job_av_soft_uninstaller"},
            {"source_file": "s", "destination_file": "wipe.exe", "type": "job_qor_clean_wipe"}
          ]
        }]
      }
    })");
}

// The destination_file of every entry of a job member ("file_array" or "filtered_files").
inline std::vector<std::string> Names(const json& job, const char* member)
{
    std::vector<std::string> names;
    const auto it = job.find(member);
    if (it != job.end()) {
        for (const json& entry : *it) {
            names.push_back(entry.value("destination_file", std::string()));
        }
    }
    return names;
}

inline json InstallJob(const vek::ManifestDocument& document)
{
    json job;
    document.GetJob(0, job);
    return job;
}

// A document, the system and products it is prepared for, and the view over it.
struct Prepared {
    vek::ManifestDocument document;
    std::shared_ptr<FakeOS> os = std::make_shared<FakeOS>();
    std::shared_ptr<FakeMsi> msi = std::make_shared<FakeMsi>();
    std::shared_ptr<FakeDetector> detector = std::make_shared<FakeDetector>();
    std::unique_ptr<vek::CManifest> manifest;

    explicit Prepared(const json& root, vek::ManifestSwitches switches = {})
    {
        EXPECT_EQ(document.Adopt(root), S_OK);
        manifest = std::make_unique<vek::CManifest>(document, switches, os, msi, detector);
    }
};

// Takes the lines of the process logger for its lifetime.
class LogCapture : public qkDebugOutput {
public:
    LogCapture() : qkDebugOutput(L"ManifestTest")
    {
        SetDebugType(LevelInformation);
        qkLib::ProcessLogger().SetForwardTo(this);
    }
    ~LogCapture() override { qkLib::ProcessLogger().SetForwardTo(nullptr); }

    void OutputText(const wchar_t* line) override { text += line; }
    bool Contains(const std::wstring& part) const { return text.find(part) != std::wstring::npos; }

    std::wstring text;
};

} // namespace manifesttest
