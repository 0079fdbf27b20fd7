#pragma once
// The process-wide source of settings managers for the HTTP client's own settings file. Program
// start registers the function that makes the standalone settings manager; the client settings
// helper asks it first, before the settings DLL and the instance factory.
#include <windows.h>

namespace qkSettings {
struct ISettingsMgr;
}

namespace Jux {

// Makes a new settings manager and hands it out with one reference.
using SettingsFactory = HRESULT (*)(qkSettings::ISettingsMgr** manager);

// Takes effect once per process: the first call stores a non-null function and returns S_OK, or
// stores nothing and returns E_INVALIDARG for a null one; every later call returns E_UNEXPECTED
// and changes nothing.
HRESULT RegisterSettingsFactory(SettingsFactory factory);

// The registered function, or null.
SettingsFactory GetSettingsFactory();

} // namespace Jux
