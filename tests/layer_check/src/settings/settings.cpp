// Wrong way: a system header in the portable core.
#include <sys/stat.h>
#include "crypt/crypt.h"
