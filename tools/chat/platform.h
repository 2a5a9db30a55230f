// The chat's operating-system services are the tools' shared shim.
#pragma once

#include "common/platform.h"

namespace chat {
using namespace tools;
}
