#pragma once
// The main dialog's view of the launcher's job engine: VekDialogEngine over a VekJobEngine.
#include "ui/dialog/VekDialogEngine.h"

#include <memory>

namespace vek {

class VekJobEngine;

// Null when there is no engine.
std::shared_ptr<VekDialogEngine> MakeDialogJobEngine(std::shared_ptr<VekJobEngine> engine);

} // namespace vek
