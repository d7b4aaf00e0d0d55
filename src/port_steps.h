// SPDX-License-Identifier: MIT
// The steps of GPSOpen that differ from platform to platform. Each platform
// folder supplies them in its port_steps.cpp.
#pragma once

#include "platform.h"

// Opens the receiver's port by the name the host gave, for reading and
// writing without sharing. again is false in GPSOpen and true when the port
// was lost and its name is tried once more.
HANDLE OpenReceiverPort(const WCHAR *name, bool again);

// Closes the receiver's port that the slot held. Exactly one of the core
// and the platform closes it, and a platform that keeps the port for its
// retries closes it here only if it is still the one it keeps.
void CloseReceiverPort(HANDLE port);

// GPSClose: the name is no longer wanted. A platform that keeps anything
// for the retries lets it go here, and closes any port an open still in
// flight brings back.
void ForgetReceiverPort();

// Fills the settings record that GPSOpen then completes: every field it does
// not assign comes from here.
void ReadStartingLineSettings(HANDLE port, DCB *dcb);

// Gives the port the read time-outs this platform's hosts get, right after
// the line settings.
void SetReceiverReadTimeouts(HANDLE port);
