#include "ui/tray/VekTrayBaseUI.h"

#include "ui/dialog/VekBaseUI.h"

namespace vek {

VekTrayBaseUI::VekTrayBaseUI(std::shared_ptr<VekDataReporter> reporter, std::shared_ptr<VekJobEngine> jobEngine)
    // Page 0: the job list; the dialog learns of failures from the job updates.
    : m_baseUI(std::make_unique<VekBaseUI>(std::move(reporter), std::move(jobEngine), S_OK))
{
}

VekTrayBaseUI::~VekTrayBaseUI() = default;

HRESULT VekTrayBaseUI::Create(HWND owner)
{
    return m_baseUI->Create(owner);
}

HWND VekTrayBaseUI::hwnd() const
{
    return m_baseUI->hwnd();
}

void VekTrayBaseUI::showWindow(int showCommand)
{
    m_baseUI->showWindow(showCommand);
}

void VekTrayBaseUI::destroy()
{
    if (m_baseUI->IsWindow())
        m_baseUI->DestroyWindow();
}

} // namespace vek
