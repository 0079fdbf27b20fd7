#pragma once
// One reader per key of the Manifest document that more than one place reads: the engine, the
// jobs, the reporters and the user interface call these instead of walking the document
// themselves, so that a key's path, its type and its default stand in one place.
//
// Each reader takes a node that its caller holds (under the document's lock, or a copy) and reads
// through ManifestJson: a missing member, null, or a member of another JSON type reads as the
// default (empty text, false, null), a wrong type is logged, nothing throws. Texts come out as
// UTF-16; inside the document they stay UTF-8.
//
// The proxy settings and the product kind (product_data.run_key) are read by the network layer
// too; their readers stand there (net/proxy/ManifestProxySettings.h, ManifestProductKind.h) and
// CManifest calls them.
#include <windows.h>

#include <nlohmann/json.hpp>

#include <string>

namespace vek {

class ManifestAccess {
public:
    using json = nlohmann::json;

    // "vek"."job_array" when it is an array; null otherwise.
    static const json* Jobs(const json& root);
    static json* Jobs(json& root);
    // Element 0 of the jobs when it is an object: the install job. Null otherwise.
    static const json* FirstJob(const json& root);

    // "vek"."global" members.
    static std::wstring ManifestId(const json& root);
    static std::wstring TelemetryProductName(const json& root);
    static std::wstring ReportingUrl(const json& root);
    // "failover" is a non-empty text: the address of the fail-over page.
    static bool HasFailover(const json& root);
    // "hide_finish_page" is the Boolean true.
    static bool IsFinishPageHidden(const json& root);

    // "vek"."bootstrap" members.
    static std::wstring CustomLocation(const json& root);
    static std::wstring RunLocation(const json& root);
    static std::wstring InstalledVek(const json& root);
    static std::wstring InstallFolderPostfix(const json& root);
    static std::wstring DownloadFolder(const json& root);
    static std::wstring DistributionType(const json& root);
    // "vek"."bootstrap"."options" when it is an object; null otherwise.
    static const json* BootstrapOptions(const json& root);
    // "vek"."bootstrap"."options"."shouldCreateRunKey": true unless it is the Boolean false.
    static bool ShouldCreateRunKey(const json& root);
    // "vek"."bootstrap"."options"."install": true when absent; a Boolean as it is; any other
    // value true only when it is the text "true" in any letter case.
    static bool Install(const json& root);

    // Members of a job node.
    static std::wstring JobId(const json& job);
    static std::wstring JobType(const json& job);
    // "distribution" members of a job node.
    static std::wstring CustomerId(const json& job);
    static std::wstring DomainId(const json& job);
    static std::wstring UIMode(const json& job);
    static std::wstring JobDescription(const json& job);
    // "ui_mode" is "SILENT" exactly.
    static bool IsSilentUIMode(const json& job);
    // "generic_package" is the text "true".
    static bool IsGenericPackage(const json& job);
    // "create_msi" is the text "true": a package that only downloads for a later installation.
    static bool CreatesMsi(const json& job);
    // Run-time result codes of a job node (VekJobKeys.h) as the HRESULT bits they hold, whether
    // stored signed or unsigned; false when absent or not an integer.
    static bool JobErrorCode(const json& job, HRESULT& code);
    static bool LastDownloadError(const json& job, HRESULT& code);
    static bool LastPluginError(const json& job, HRESULT& code);
    // "file_array" when it is an array; null otherwise.
    static const json* Files(const json& job);
    static json* Files(json& job);

    // Members of a file entry.
    static std::wstring DestinationFile(const json& entry);
    static std::wstring SourceFile(const json& entry);
};

} // namespace vek
