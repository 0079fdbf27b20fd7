#pragma once
// The launcher result codes that the manifest, its job selection and the path expansion raise.
// All are 0x80047E00 + n (failure, interface facility); the launcher's one code table takes them
// over with these names.
#include <windows.h>

namespace vek {

// No installation job: "job_array" missing, not an array or empty.
constexpr HRESULT VEK_E_NO_INSTALL_JOB = static_cast<HRESULT>(0x80047E01);
// No usable connection token in the manifest.
constexpr HRESULT VEK_E_NO_CC_TOKEN = static_cast<HRESULT>(0x80047E13);
// The endpoint product's install options are missing in the manifest.
constexpr HRESULT VEK_E_NO_INSTALL_OPTIONS = static_cast<HRESULT>(0x80047E14);
// The application-data or the desktop folder is unavailable.
constexpr HRESULT VEK_E_FOLDER_UNAVAILABLE = static_cast<HRESULT>(0x80047E42);
// Neither the public downloads nor the documents folder is available.
constexpr HRESULT VEK_E_INSTALL_FOLDER_UNAVAILABLE = static_cast<HRESULT>(0x80047E44);
// The common documents folder is unavailable (systems before Vista).
constexpr HRESULT VEK_E_COMMON_DOCUMENTS_UNAVAILABLE = static_cast<HRESULT>(0x80047E45);
// A folder token resolved to its own name.
constexpr HRESULT VEK_E_FOLDER_TOKEN_UNRESOLVED = static_cast<HRESULT>(0x80047E47);
// The token walk over the document failed.
constexpr HRESULT VEK_E_DOCUMENT_EXPANSION = static_cast<HRESULT>(0x80047E59);
// The token walk over a job with its own environment failed.
constexpr HRESULT VEK_E_JOB_EXPANSION = static_cast<HRESULT>(0x80047E5A);

} // namespace vek
