// SPDX-License-Identifier: MIT
#include "test_support.h"

#include <cerrno>
#include <chrono>
#include <fcntl.h>
#include <fstream>
#include <ftw.h>
#include <poll.h>
#include <sstream>
#include <stdexcept>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

std::u16string FakeReceiver::port() const { return Utf16(path()); }

void FakeReceiver::Send(const std::string &bytes) {
  size_t sent = 0;
  while (sent < bytes.size()) {
    ssize_t n = write(line_.master(), bytes.data() + sent, bytes.size() - sent);
    // A test's own signals (a storm of SIGALRM) may cut a write that waits
    // for room on the line.
    if (n < 0 && errno == EINTR) {
      continue;
    }
    if (n <= 0) {
      throw std::runtime_error("write to the master failed");
    }
    sent += static_cast<size_t>(n);
  }
}

std::chrono::steady_clock::time_point
FakeReceiver::SendPaced(const std::string &bytes, unsigned baud) {
  using Clock = std::chrono::steady_clock;
  const Clock::time_point start = Clock::now();
  const size_t chunk = 8;
  for (size_t sent = 0; sent < bytes.size(); sent += chunk) {
    std::this_thread::sleep_until(
        start + std::chrono::microseconds(sent * 10 * 1000000 / baud));
    Send(bytes.substr(sent, chunk));
  }
  return Clock::now();
}

namespace {

template <typename Condition> bool WaitFor(Condition done) {
  auto giveUp = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (!done()) {
    if (std::chrono::steady_clock::now() > giveUp) {
      return false;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

int Waiting(int fd) {
  int count = -1;
  ioctl(fd, TIOCINQ, &count);
  return count;
}

} // namespace

bool FakeReceiver::WaitUntilHolding(int count) {
  return WaitFor([&] { return Waiting(line_.slave()) >= count; });
}

bool FakeReceiver::WaitUntilTaken() {
  return WaitFor([&] { return Waiting(line_.slave()) == 0; });
}

bool FakeReceiver::WaitUntilRaw() {
  return WaitFor([&] {
    termios line;
    return tcgetattr(line_.master(), &line) == 0 &&
           (line.c_lflag & ICANON) == 0;
  });
}

termios FakeReceiver::LineSettings() const {
  termios settings{};
  tcgetattr(line_.slave(), &settings);
  return settings;
}

void FakeReceiver::SetLineSettings(const termios &settings) {
  tcsetattr(line_.slave(), TCSANOW, &settings);
}

bool FakeReceiver::HeardBack() {
  pollfd echo = {line_.master(), POLLIN, 0};
  return poll(&echo, 1, 0) > 0 && (echo.revents & POLLIN) != 0;
}

TempDir::TempDir() {
  char pattern[] = "/tmp/tolvane-test-XXXXXX";
  if (mkdtemp(pattern) == nullptr) {
    throw std::runtime_error("mkdtemp failed");
  }
  path_ = pattern;
}

TempDir::~TempDir() {
  nftw(
      path_.c_str(),
      [](const char *p, const struct stat *, int, struct FTW *) {
        return remove(p);
      },
      16, FTW_DEPTH | FTW_PHYS);
}

void WriteWhole(const std::string &path, const std::string &bytes) {
  std::ofstream(path, std::ios::binary) << bytes;
}

bool Exists(const std::string &path) {
  struct stat status;
  return stat(path.c_str(), &status) == 0;
}

std::string RunCommand(const std::string &command, int *status) {
  std::string output;
  FILE *pipe = popen(command.c_str(), "r");
  if (pipe == nullptr) {
    return output;
  }
  char chunk[4096];
  for (size_t n; (n = fread(chunk, 1, sizeof chunk, pipe)) > 0;) {
    output.append(chunk, n);
  }
  int result = pclose(pipe);
  if (status != nullptr) {
    *status = WIFEXITED(result) ? WEXITSTATUS(result) : -1;
  }
  return output;
}

std::string AllPassingBytes() {
  std::string bytes;
  for (int value = 0; value < 256; ++value) {
    if (value != 0x11 && value != 0x13) {
      bytes += static_cast<char>(value);
    }
  }
  return bytes + "\r\n";
}

int DescriptorsOn(const std::string &path) {
  int count = 0;
  for (int fd = 0; fd < 1024; ++fd) {
    char target[256];
    std::string link = "/proc/self/fd/" + std::to_string(fd);
    ssize_t n = readlink(link.c_str(), target, sizeof target - 1);
    std::string name(target, n > 0 ? static_cast<size_t>(n) : 0);
    count += name == path || name == path + " (deleted)";
  }
  return count;
}
