#pragma once
// The main dialog's job list: VekDialogJobList over the launcher's job list window.
#include "ui/dialog/VekDialogEngine.h"
#include "ui/dialog/VekDialogJobList.h"

#include <memory>

namespace vek {

class VekDataReporter;

std::unique_ptr<VekDialogJobList> MakeDialogJobListWindow(const std::shared_ptr<VekDialogEngine>& engine,
                                                          const std::shared_ptr<VekDataReporter>& reporter);

} // namespace vek
