#pragma once
// The main dialog's job list: VekDialogJobList over the launcher's job list window.
#include "ui/dialog/VekDialogJobList.h"

#include <memory>

namespace vek {

class VekDataReporter;
class VekJobEngine;

std::unique_ptr<VekDialogJobList> MakeDialogJobListWindow(const std::shared_ptr<VekJobEngine>& engine,
                                                          const std::shared_ptr<VekDataReporter>& reporter);

} // namespace vek
