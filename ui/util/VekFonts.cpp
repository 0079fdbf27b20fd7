#include "ui/util/VekFonts.h"

#include "common/errors/qkLog.h"

namespace vek {

int PointsFromDesignPixels(int pixels)
{
    const double points = pixels * 0.75;
    const int whole = static_cast<int>(points);
    return points - whole > 0.5 ? whole + 1 : whole;
}

bool CreateFontW(HDC dc, int designPixels, int weight, const wchar_t* face, VekFont& font)
{
    const int height = -::MulDiv(PointsFromDesignPixels(designPixels), ::GetDeviceCaps(dc, LOGPIXELSY), 72);
    HFONT created = ::CreateFontW(height, 0, 0, 0, weight, FALSE, FALSE, FALSE, DEFAULT_CHARSET, OUT_DEFAULT_PRECIS,
                                  CLIP_DEFAULT_PRECIS, CLEARTYPE_QUALITY, DEFAULT_PITCH, face);
    if (created == nullptr) {
        QK_LOG_ERROR(L"Failed to create font %s.", face);
        return false;
    }
    font.Reset(created);
    return true;
}

bool CreateFontSet(HDC dc, VekFontSet& fonts)
{
    return CreateFontW(dc, 23, FW_NORMAL, L"Segoe UI Light", fonts.title) &&
           CreateFontW(dc, 18, FW_BOLD, L"Segoe UI", fonts.heading) &&
           CreateFontW(dc, 14, FW_BOLD, L"Segoe UI", fonts.boldText) &&
           CreateFontW(dc, 14, FW_NORMAL, L"Segoe UI", fonts.text);
}

} // namespace vek
