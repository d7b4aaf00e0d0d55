// The Win32 subset the core calls, implemented over POSIX with Win32
// meanings (see each .cpp here for where POSIX differs).
#pragma once

#include "../win32_subset.h"

// Every port opened here reads with these time-outs; nothing sets others.
// A read returns when the count has arrived, when the line has been quiet for
// 100 ms after a byte, or 2000 ms after it began, whichever comes first.
constexpr COMMTIMEOUTS kPortReadTimeouts = {100, 0, 2000, 0, 0};
