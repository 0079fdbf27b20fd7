// The job windows' engine interface over the real job engine, and the job list's constructor
// that takes the real engine (kept here, so that code driving the windows through an engine of
// its own does not link the job engine).
#include "ui/joblist/VekJobUIEngine.h"

#include "engine/report/VekDataReporter.h"
#include "ui/VekJobEngineView.h"
#include "ui/joblist/VekJobList.h"

namespace vek {

std::shared_ptr<VekJobUIEngine> VekJobUIEngine::Wrap(std::shared_ptr<VekJobEngine> engine)
{
    return VekJobEngineView::Make(std::move(engine));
}

VekJobList::VekJobList(std::shared_ptr<VekJobEngine> jobEngine, std::shared_ptr<VekDataReporter> reporter)
    : VekJobList(VekJobUIEngine::Wrap(std::move(jobEngine)), std::move(reporter))
{
}

} // namespace vek
