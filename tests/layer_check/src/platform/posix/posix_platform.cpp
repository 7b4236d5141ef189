// Wrong way: the real platform uses the test platform.
#include <unistd.h>
#include "platform/fake/fake_platform.h"
#include "platform/platform.h"
