#pragma once
// The main dialog's child controls and the design geometry they are placed by; shared by the
// dialog's source files only.
#include "ui/controls/CStaticImage.h"
#include "ui/controls/CTransparentStatic.h"
#include "ui/controls/InfiniteBar.h"
#include "ui/controls/VekGDIPlusButton.h"
#include "ui/controls/VekHyperLink.h"
#include "engine/manifest/CManifest.h"
#include "engine/manifest/ManifestDocument.h"
#include "ui/dialog/VekBaseUI.h"
#include "ui/dialog/VekBaseUIControlIds.h"
#include "ui/util/VekScreen.h"
#include "ui/window/VekGdi.h"

namespace vek {

// The dialog's size and places in design pixels (96 DPI).
namespace layout {
constexpr int kWidth = 512;
constexpr int kHeight = 467;
constexpr int kTextLeft = 85;
constexpr int kTextRight = 25; // from the right edge
constexpr int kMiddleTop = 123;
constexpr int kMiddleBottom = 55; // from the bottom edge
constexpr int kButtonHeight = 30;
constexpr int kButtonBottom = 10; // from the bottom edge
constexpr int kAction2Right = 20; // from the right edge
constexpr int kButtonGap = 10;
constexpr int kMinButtonWidth = 120;
} // namespace layout

// The manifest accessor over a copy of the engine's document, its install job selected: the
// dialog reads the accessor's answers without touching the document the workers use.
struct VekManifestView {
    explicit VekManifestView(const ManifestDocument& source) : manifest(document)
    {
        document.Adopt(source.Snapshot());
        manifest.init();
    }
    ManifestDocument document;
    CManifest manifest;
};

struct VekBaseUI::Impl {
    // Every button of the dialog: the mouse over it selects its hover image, and a click is
    // its own (on release over the button), never the system button's.
    static constexpr DWORD kButtonStyle = CGDIPlusButtonImpl::kStyleHover;

    VekScale scale;
    VekFont font;
    VekFont headlineFont;

    CTransparentStatic caption;
    VekGDIPlusButton closeButton{kButtonStyle};
    VekGDIPlusButton minimizeButton{kButtonStyle};
    InfiniteBar waitAnimation;
    CStaticImage banner;
    CStaticImage logo;
    CTransparentStatic headline;
    CTransparentStatic body;
    CTransparentStatic greenLine;
    CTransparentStatic secondLine;
    VekHyperLink linkLeft;
    VekHyperLink linkRight;
    VekHyperLink linkPackage;
    CStaticImage warningSign;
    CTransparentStatic secondBody;
    CStaticImage pageIcon;
    CStaticImage footer;
    VekGDIPlusButton footerClose{kButtonStyle};
    CTransparentStatic footerText;
    VekGDIPlusButton action1{kButtonStyle};
    VekGDIPlusButton action2{kButtonStyle};

    // The middle of the dialog, where the job list and the pages are (client pixels).
    RECT MiddleRect(HWND dialog) const;
};

} // namespace vek
