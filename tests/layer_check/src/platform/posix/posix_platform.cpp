// Wrong way: the real platform uses the test platform.
#include <unistd.h>
#include "sim/fake_platform.h"
#include "platform/platform.h"
