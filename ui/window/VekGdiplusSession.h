#pragma once
// GDI+ for the length of the object: GdiplusStartup in the constructor, GdiplusShutdown in
// the destructor. Every GDI+ object must be gone before the session ends.
#include <windows.h>

namespace vek {

class VekGdiplusSession {
public:
    VekGdiplusSession();
    ~VekGdiplusSession();
    VekGdiplusSession(const VekGdiplusSession&) = delete;
    VekGdiplusSession& operator=(const VekGdiplusSession&) = delete;

    bool IsStarted() const { return m_token != 0; }

private:
    ULONG_PTR m_token = 0;
};

} // namespace vek
