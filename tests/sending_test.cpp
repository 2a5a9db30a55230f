#include "support/testkit.h"
