#include "engine/launcher/VekExitCode.h"

#include "services/launcher/VekResultCodes.h"

int g_ExitCode = vek::ExitNormal;
