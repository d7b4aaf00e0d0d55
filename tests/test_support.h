// SPDX-License-Identifier: MIT
// What the tests share: a pseudo-terminal that plays the receiver, a scratch
// directory, and file helpers.
#pragma once

#include <chrono>
#include <string>
#include <termios.h>

#include "file_bytes.h"
#include "receiver/simulator.h"
#include "utf16.h"

// The master side of a pseudo-terminal, playing the GPS receiver; the slave's
// path is the port the library opens.
class FakeReceiver {
public:
  const std::string &path() const { return line_.slavePath(); }
  std::u16string port() const;

  void Send(const std::string &bytes);
  // Sends bytes as a line at baud would carry them (ten bit times a byte)
  // and returns when the last one went out.
  std::chrono::steady_clock::time_point SendPaced(const std::string &bytes,
                                                  unsigned baud);
  // Wait until the port holds at least count bytes (at most one line
  // buffer's worth), or until it has handed out everything it held.
  bool WaitUntilHolding(int count);
  bool WaitUntilTaken();
  // Wait until a host has made the line raw: bytes sent before that would be
  // changed by the terminal's line editing.
  bool WaitUntilRaw();
  // The receiver goes away: the master side closes.
  void Unplug() { line_.Hangup(); }
  termios LineSettings() const;
  // Leaves the port as another program might have left it.
  void SetLineSettings(const termios &settings);
  // Whether the host side has written anything back to the receiver.
  bool HeardBack();

private:
  gpssim::PseudoTerminal line_;
};

class TempDir {
public:
  TempDir();
  ~TempDir();
  std::string File(const std::string &name) const { return path_ + "/" + name; }
  const std::string &path() const { return path_; }

private:
  std::string path_;
};

void WriteWhole(const std::string &path, const std::string &bytes);
bool Exists(const std::string &path);

// How many of this process's descriptors are open on path.
int DescriptorsOn(const std::string &path);

// Runs a shell command and returns what it printed on stdout; its exit code
// goes to status when given.
std::string RunCommand(const std::string &command, int *status = nullptr);

// Every byte value but XON and XOFF, which the line consumes, then CR LF.
std::string AllPassingBytes();
