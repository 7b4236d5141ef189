#pragma once
#include "crypt/crypt.h"
#include "platform/platform.h"
