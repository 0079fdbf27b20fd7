#pragma once
// The job list as the main dialog hosts it: a child window that shows one panel per job and
// takes the job updates and progress records the dialog relays. The product binds it to the
// job list window; a dialog without one logs and drops what it would forward.
#include "ui/VekJobUpdateRecord.h"
#include "ui/VekProgressRecord.h"

#include <windows.h>

#include <memory>

namespace vek {

class VekDialogJobList {
public:
    virtual ~VekDialogJobList() = default;

    virtual HWND Create(HWND parent, const RECT& rect) = 0;
    virtual HWND hwnd() const = 0;
    virtual void OnUpdateJobInfo(UINT message, const VekJobUpdateRecord& record) = 0;
    virtual void OnJobProgress(UINT message, std::unique_ptr<VekProgressRecord> record) = 0;
};

} // namespace vek
