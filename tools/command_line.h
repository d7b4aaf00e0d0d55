// SPDX-License-Identifier: MIT
// What both tools tell a person: usage errors, system errors and counts.
#pragma once

#include <cstdio>
#include <cstring>
#include <string>

// The problem and where to read more, as GNU tools do: the whole usage would
// bury the one line that matters.
inline void PrintUsageError(const char *tool, const std::string &problem) {
  std::fprintf(stderr, "%s: %s\nTry '%s --help' for more information.\n", tool,
               problem.c_str(), tool);
}

// strerror's text without its one shared buffer: gpscapture runs its
// receiver on a thread. The tools build on glibc, whose strerror_r returns
// the text.
inline std::string ErrorText(int error) {
  char text[256];
  return strerror_r(error, text, sizeof text);
}

// "1 byte", "2 bytes".
inline std::string Counted(long long count, const char *thing) {
  return std::to_string(count) + " " + thing + (count == 1 ? "" : "s");
}
