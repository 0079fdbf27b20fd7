#pragma once
// The record a job update carries to the windows: a copy of the job node made when the event
// fired, and the event. The live node stays with the job engine, where workers keep writing it
// (and events 17 and 38 may replace the whole document), so no window ever reads it.
// Ownership as with progress records: the sender allocates, the queued message owns it, the
// window that handles it (or a relay that cannot pass it on) frees it.
#include <windows.h>

#include <nlohmann/json.hpp>

#include <cstdint>
#include <memory>

namespace vek {

struct VekJobUpdateRecord {
    nlohmann::json job; // the job node (or the whole document for events 9, 10, 11)
    int32_t event = 0;
};

// Posts the record as wParam (lParam: the event); on failure the record is freed here.
bool PostJobUpdateRecord(HWND target, UINT message, std::unique_ptr<VekJobUpdateRecord> record);
// Takes ownership of the record a received message carries (null stays null).
std::unique_ptr<VekJobUpdateRecord> TakeJobUpdateRecord(WPARAM wParam);
// Removes the window's queued messages of that kind and frees their records (at WM_DESTROY).
void DrainJobUpdateRecords(HWND window, UINT message);

} // namespace vek
