// SPDX-License-Identifier: MIT
// What gpscapture checks before the first block, since the library reports
// nothing: that the capture file can be written and the port used. Each
// prints what is wrong and returns false.
#pragma once

#include "options.h"

bool CheckOutput(const Settings &settings);
bool CheckPort(const std::string &port);
