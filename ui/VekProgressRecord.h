#pragma once
// The record a progress message carries: allocated by the sender, owned by the message while it
// is queued, freed by the window that shows it. Exactly one owner at any time: a post that
// fails frees the record at once, a relay takes it before it posts it on, and a window that
// goes away frees the records still queued for it.
#include <windows.h>

#include <memory>

namespace vek {

struct VekProgressRecord {
    unsigned long long total = 0; // bytes
    unsigned long long done = 0;  // bytes
};
static_assert(sizeof(VekProgressRecord) == 16, "the record crosses threads as 16 bytes");

// Posts the record as wParam of the message; on failure the record is freed here.
bool PostProgressRecord(HWND target, UINT message, std::unique_ptr<VekProgressRecord> record);
// Takes ownership of the record a received message carries (null stays null).
std::unique_ptr<VekProgressRecord> TakeProgressRecord(WPARAM wParam);
// Removes the window's queued messages of that kind and frees their records (at WM_DESTROY).
void DrainProgressRecords(HWND window, UINT message);

} // namespace vek
