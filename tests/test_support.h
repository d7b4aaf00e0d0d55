// SPDX-License-Identifier: MIT
// What the tests share: a pseudo-terminal that plays the receiver, a scratch
// directory, file and descriptor helpers, child processes and clocks.
#pragma once

#include <chrono>
#include <functional>
#include <string>
#include <sys/types.h>
#include <termios.h>
#include <vector>

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
  int master() const { return line_.master(); }

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

// What each of this process's open descriptors leads to, as /proc names it
// (a deleted file's name ends in " (deleted)").
std::vector<std::string> DescriptorTargets();
// How many of this process's descriptors are open on path.
int DescriptorsOn(const std::string &path);

// Runs a shell command and returns what it printed on stdout; its exit code
// goes to status when given.
std::string RunCommand(const std::string &command, int *status = nullptr);

// Runs story in a forked child and returns how the child ended: its exit
// code (0 when story returns), or 128 + the signal that ended it.
int ExitStatusOf(const std::function<void()> &story);
// The same for stories that wait more than they work: each in its own
// child, all at once; how each ended, in their order.
std::vector<int>
ExitStatusesOf(const std::vector<std::function<void()>> &stories);

// A forked child that takes something (a lock, a port) and keeps it until
// this object goes: it is then killed, as a crashed host would be.
class HoldingChild {
public:
  // Returns once take has run in the child; taken() says what it returned.
  explicit HoldingChild(const std::function<bool()> &take);
  ~HoldingChild() { Kill(); }
  HoldingChild(const HoldingChild &) = delete;
  HoldingChild &operator=(const HoldingChild &) = delete;

  bool taken() const { return taken_; }
  // Ends the child with SIGKILL and waits for it to be gone.
  void Kill();

private:
  pid_t pid_ = -1;
  bool taken_ = false;
};

// A program run with its standard input on a pipe and one of its output
// streams, readBack (1 for stdout, 2 for stderr), read back line by line;
// the other goes to /dev/null. The program is killed when this object goes.
class ChildProcess {
public:
  explicit ChildProcess(const std::vector<std::string> &argv, int readBack = 1);
  ~ChildProcess();
  ChildProcess(const ChildProcess &) = delete;
  ChildProcess &operator=(const ChildProcess &) = delete;

  // Sends a command line and returns the program's answer.
  std::string Ask(const std::string &command);
  // The next line the program prints, without its line end, or "" after
  // 30 s or at its end.
  std::string NextLine();
  void Signal(int number);
  // Waits for the program to end: its exit code, or -1 if a signal ended it.
  int Wait();
  // The CPU seconds the program has used so far, until Wait.
  double CpuSeconds() const;

private:
  pid_t pid_ = -1;
  int in_ = -1;
  int out_ = -1;
  std::string buffer_;
};

using Clock = std::chrono::steady_clock;

double SecondsSince(Clock::time_point start);
// The CPU seconds this process has used so far, all threads.
double CpuSeconds();

// Every byte value but XON and XOFF, which the line consumes, then CR LF.
std::string AllPassingBytes();
// count bytes of the receiver simulator's pattern from byte first on: every
// value but XON and XOFF.
std::string PatternBytes(size_t count, long long first = 0);
