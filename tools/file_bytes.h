// SPDX-License-Identifier: MIT
// A whole file as bytes, for the tools and the tests.
#pragma once

#include <fstream>
#include <sstream>
#include <string>

// The file's bytes, or "" when it cannot be read.
inline std::string ReadWhole(const std::string &path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream bytes;
  bytes << in.rdbuf();
  return bytes.str();
}
