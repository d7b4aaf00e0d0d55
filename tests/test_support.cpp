// SPDX-License-Identifier: MIT
#include "test_support.h"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <ctime>
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

int ExitStatusOf(const std::function<void()> &story) {
  return ExitStatusesOf({story})[0];
}

std::vector<int>
ExitStatusesOf(const std::vector<std::function<void()>> &stories) {
  std::vector<pid_t> children;
  for (const auto &story : stories) {
    pid_t child = fork();
    if (child == 0) {
      story();
      _exit(0);
    }
    children.push_back(child);
  }
  std::vector<int> statuses;
  for (pid_t child : children) {
    int status = -1;
    waitpid(child, &status, 0);
    statuses.push_back(WIFEXITED(status) ? WEXITSTATUS(status)
                                         : 128 + WTERMSIG(status));
  }
  return statuses;
}

HoldingChild::HoldingChild(const std::function<bool()> &take) {
  int ready[2];
  if (pipe(ready) != 0) {
    return;
  }
  pid_ = fork();
  if (pid_ == 0) {
    char taken = take() ? 'y' : 'n';
    if (write(ready[1], &taken, 1) == 1) {
      pause();
    }
    _exit(0);
  }
  char taken = 'n';
  taken_ = read(ready[0], &taken, 1) == 1 && taken == 'y';
  close(ready[0]);
  close(ready[1]);
}

void HoldingChild::Kill() {
  if (pid_ > 0) {
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
    pid_ = -1;
  }
}

ChildProcess::ChildProcess(const std::vector<std::string> &argv, int readBack) {
  int in[2], out[2];
  if (pipe(in) != 0 || pipe(out) != 0) {
    return;
  }
  pid_ = fork();
  if (pid_ == 0) {
    dup2(in[0], 0);
    dup2(out[1], readBack);
    dup2(open("/dev/null", O_WRONLY), readBack == 1 ? 2 : 1);
    std::vector<char *> args;
    for (const std::string &arg : argv) {
      args.push_back(const_cast<char *>(arg.c_str()));
    }
    args.push_back(nullptr);
    execv(args[0], args.data());
    _exit(127);
  }
  close(in[0]);
  close(out[1]);
  in_ = in[1];
  out_ = out[0];
}

ChildProcess::~ChildProcess() {
  close(in_);
  Signal(SIGKILL);
  Wait();
  close(out_);
}

std::string ChildProcess::Ask(const std::string &command) {
  std::string line = command + "\n";
  if (write(in_, line.data(), line.size()) !=
      static_cast<ssize_t>(line.size())) {
    return "";
  }
  return NextLine();
}

std::string ChildProcess::NextLine() {
  while (buffer_.find('\n') == std::string::npos) {
    pollfd ready = {out_, POLLIN, 0};
    char chunk[256];
    ssize_t n = 0;
    if (poll(&ready, 1, 30000) <= 0 || (n = read(out_, chunk, 256)) <= 0) {
      return "";
    }
    buffer_.append(chunk, static_cast<size_t>(n));
  }
  size_t end = buffer_.find('\n');
  std::string line = buffer_.substr(0, end);
  buffer_.erase(0, end + 1);
  if (!line.empty() && line.back() == '\r') {
    line.pop_back(); // Windows line ends
  }
  return line;
}

void ChildProcess::Signal(int number) {
  if (pid_ > 0) {
    kill(pid_, number);
  }
}

int ChildProcess::Wait() {
  int status = -1;
  if (pid_ > 0) {
    waitpid(pid_, &status, 0);
    pid_ = -1;
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

double ChildProcess::CpuSeconds() const {
  std::string stat = ReadWhole("/proc/" + std::to_string(pid_) + "/stat");
  std::istringstream fields(stat.substr(stat.rfind(')') + 2));
  std::string field;
  long ticks = 0;
  for (int i = 3; i <= 15 && fields >> field; ++i) {
    ticks += (i == 14 || i == 15) ? std::stol(field) : 0; // utime, stime
  }
  return static_cast<double>(ticks) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

double SecondsSince(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

double CpuSeconds() {
  timespec now;
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
  return now.tv_sec + now.tv_nsec / 1e9;
}

std::string PatternBytes(size_t count, long long first) {
  std::string bytes;
  for (size_t i = 0; i < count; ++i) {
    bytes += gpssim::PatternByte(first + static_cast<long long>(i));
  }
  return bytes;
}

std::string AllPassingBytes() { return PatternBytes(254) + "\r\n"; }

std::vector<std::string> DescriptorTargets() {
  std::vector<std::string> targets;
  for (int fd = 0; fd < 1024; ++fd) {
    char target[256];
    std::string link = "/proc/self/fd/" + std::to_string(fd);
    ssize_t n = readlink(link.c_str(), target, sizeof target);
    if (n > 0) {
      targets.emplace_back(target, static_cast<size_t>(n));
    }
  }
  return targets;
}

int DescriptorsOn(const std::string &path) {
  int count = 0;
  for (const std::string &target : DescriptorTargets()) {
    count += target == path || target == path + " (deleted)";
  }
  return count;
}
