// Wrong way: crypt reaches up to the Server context.
#include "crypt/crypt.h"
#include "server/server.h"
