// The hostile-file helpers live in tests/support; this name stays only for
// the suites that still include them by their old path.
#pragma once

#include "../support/HostileFiles.h"
