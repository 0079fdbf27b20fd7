#pragma once
// The tray window's view of the real main dialog: the dialog object made with the tray's
// reporter and job engine, its window owned by the tray window.
#include "ui/tray/VekTrayMainDialog.h"

#include <memory>

namespace vek {

class VekBaseUI;
class VekDataReporter;
class VekJobEngine;

class VekTrayBaseUI : public VekTrayMainDialog {
public:
    // The dialog object and its window; Create() reports whether the window exists.
    VekTrayBaseUI(std::shared_ptr<VekDataReporter> reporter, std::shared_ptr<VekJobEngine> jobEngine);
    ~VekTrayBaseUI() override;

    HRESULT Create(HWND owner);

    HWND hwnd() const override;
    void showWindow(int showCommand) override;
    void destroy() override;

    VekBaseUI* baseUI() const { return m_baseUI.get(); }

private:
    std::unique_ptr<VekBaseUI> m_baseUI;
};

} // namespace vek
