#pragma once
// The settings store's interfaces are declared once, in the common layer, where the object
// repository uses them as well.
#include "common/objects/ISettingsMgr.h"
