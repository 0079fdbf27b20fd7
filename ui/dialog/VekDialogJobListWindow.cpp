#include "ui/dialog/VekDialogJobListWindow.h"

#include "ui/joblist/VekJobList.h"

namespace vek {

std::unique_ptr<VekDialogJobList> MakeDialogJobListWindow(const std::shared_ptr<VekJobEngine>& engine,
                                                          const std::shared_ptr<VekDataReporter>& reporter)
{
    return std::make_unique<VekJobList>(engine, reporter);
}

} // namespace vek
