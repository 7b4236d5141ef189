// Wrong way: the real platform uses the test platform.
#include <unistd.h>
#include "platform/platform.h"
#include "sim/fake_platform.h"
