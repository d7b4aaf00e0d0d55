// SPDX-License-Identifier: MIT
#include "module_state.h"

// Plain zero-initialised globals: nothing runs at load or unload.
BYTE transferBuffer[kTransferBufferBytes];
WCHAR portNameBuffer[kPortNameUnits];
HANDLE portSlot;
bool portWanted;
