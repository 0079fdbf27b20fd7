#include "engine/launcher/VekExitCode.h"

int g_ExitCode = 0;
