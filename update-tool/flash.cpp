// Placeholder until this part of the tool lands.
#include <windows.h>

#include "update_tool.h"
