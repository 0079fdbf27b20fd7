#pragma once
// The settings module's services for program start: a module reference (whose first taking
// looks up the system entry points the store needs) and the standalone settings manager.
#include <windows.h>

#include "settings/ISettingsStore.h"

namespace qkSettings {

HRESULT ModuleAddRef();
HRESULT ModuleRelease();
// 0x8000020E while no module reference is held.
HRESULT CreateStandaloneSettingsMgr(ISettingsMgr** manager);

} // namespace qkSettings
