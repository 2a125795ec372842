// Host stand-in for the board SDK's <windows.h>: the platform's names,
// signatures and constant values, implemented on the virtual board.
#pragma once
#include "ce/rc_constants.h"
#ifndef RC_INVOKED
#include "ce/types.h"
#include "ce/base.h"
#include "ce/files.h"
#include "ce/memory.h"
#include "ce/user.h"
#include "ce/nls.h"
#include "ce/strings.h"
#include "ce/registry.h"
#endif
