// The product's tray: the real job engine and the real main dialog, bound to the two interfaces
// through which the window's own rules (VekTray.cpp) reach them.
#include "ui/tray/VekTray.h"

#include "ui/dialog/VekProductName.h"
#include "ui/tray/VekTrayBaseUI.h"
#include "ui/VekJobEngineView.h"

#include "common/errors/qkLog.h"

namespace vek {

namespace {

VekTrayOptions ProductOptions(const std::shared_ptr<VekDataReporter>& reporter,
                              const std::shared_ptr<VekJobEngine>& jobEngine)
{
    VekTrayOptions options;
    options.productTitleId = [] { return GetProductNameStringId(); };
    options.mainDialogFactory = [reporter, jobEngine](HWND owner) -> std::unique_ptr<VekTrayMainDialog> {
        auto dialog = std::make_unique<VekTrayBaseUI>(reporter, jobEngine);
        const HRESULT hr = dialog->Create(owner);
        if (FAILED(hr)) {
            QK_LOG_ERROR(L"Main dialog not created, hr=0x%08X", static_cast<unsigned>(hr));
            return nullptr;
        }
        return dialog;
    };
    return options;
}

} // namespace

VekTray::VekTray(std::shared_ptr<VekDataReporter> reporter, std::shared_ptr<VekJobEngine> jobEngine)
    : VekTray(reporter, VekJobEngineView::Make(jobEngine),
              ProductOptions(reporter, jobEngine))
{
}

} // namespace vek
