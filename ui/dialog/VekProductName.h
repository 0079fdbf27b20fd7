#pragma once
// The product title's string id, one value for the process: captions, the automation name and
// message boxes read it. 146 until the UI engine sets it from the manifest.
#include <windows.h>

namespace vek {

class ManifestDocument;

// 133 when the first job's "product_data" / "run_key" is "KAJ", 146 for any other value; a
// manifest without a first job leaves the value as it is.
void SetProductNameStringId(const ManifestDocument& manifest);
UINT GetProductNameStringId();
// Tests and the start-up put it back.
void ResetProductNameStringId(UINT id = 146);

} // namespace vek
