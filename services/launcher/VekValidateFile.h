#pragma once
// File validation: the launcher's rule for accepting a downloaded file by the "validation" node
// of its manifest entry ("sha256" digest, "custom" signer subject, else the maker's signature).
#include "services/launcher/VekResultCodes.h"

#include <windows.h>

#include <nlohmann/json.hpp>

#include <cstdint>

namespace vek {

// node may be null. A failure is also stored in validationError (when given); so is the trust
// result of a signature check. A success means the file is valid.
HRESULT ValidateFile(const wchar_t* path, const nlohmann::json* node, int32_t* validationError);
// The maker's signature at trust level 3 through a fresh trust object.
HRESULT ValidateFileWithTalvernSignature(const wchar_t* path, int32_t* validationError);

} // namespace vek
