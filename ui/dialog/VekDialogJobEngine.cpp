#include "ui/dialog/VekDialogJobEngine.h"

namespace vek {

std::shared_ptr<VekDialogEngine> MakeDialogJobEngine(std::shared_ptr<VekJobEngine> engine)
{
    (void)engine;
    return nullptr;
}

} // namespace vek
