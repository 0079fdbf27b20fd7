#include "ui/window/VekGdiplusSession.h"

#include "common/errors/qkLog.h"

#include <objidl.h>
#include <gdiplus.h>

namespace vek {

VekGdiplusSession::VekGdiplusSession()
{
    Gdiplus::GdiplusStartupInput input;
    const Gdiplus::Status status = Gdiplus::GdiplusStartup(&m_token, &input, nullptr);
    if (status != Gdiplus::Ok) {
        QK_LOG_ERROR(L"GdiplusStartup failed, status %d", static_cast<int>(status));
        m_token = 0;
    }
}

VekGdiplusSession::~VekGdiplusSession()
{
    if (m_token != 0)
        Gdiplus::GdiplusShutdown(m_token);
}

} // namespace vek
