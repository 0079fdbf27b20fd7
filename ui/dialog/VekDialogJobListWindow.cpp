#include "ui/dialog/VekDialogJobListWindow.h"

namespace vek {

std::unique_ptr<VekDialogJobList> MakeDialogJobListWindow(const std::shared_ptr<VekJobEngine>& engine,
                                                          const std::shared_ptr<VekDataReporter>& reporter)
{
    (void)engine;
    (void)reporter;
    return nullptr;
}

} // namespace vek
