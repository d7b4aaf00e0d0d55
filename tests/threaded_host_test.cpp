// SPDX-License-Identifier: MIT
// Hosts that break the one-call-at-a-time contract, or leave the process in
// states a library must not trip over. What the library owns stays its own:
// no host descriptor is read, closed or unlocked, nothing leaks, and no
// stranger's terminal is taken.
#include <atomic>
#include <fcntl.h>
#include <memory>
#include <sys/file.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "library_host.h"

namespace {

using ThreadedHost = LibraryHost;

// The descriptors that lead to a path, as everything the library opens
// here does (pipes a sanitizer opens to its symbolizer are not counted).
int FileRecords() {
  int count = 0;
  for (int fd = 0; fd < 1024; ++fd) {
    char target[256];
    std::string link = "/proc/self/fd/" + std::to_string(fd);
    count +=
        readlink(link.c_str(), target, sizeof target) > 0 && target[0] == '/';
  }
  return count;
}

// The system call poll() makes: ppoll where the CPU has no poll of its own
// (arm64, riscv64), as the C library does.
#ifdef SYS_poll
constexpr long kPollCall = SYS_poll;
#else
constexpr long kPollCall = SYS_ppoll;
#endif

// A worker thread capturing once, which can tell when it waits on the line.
class Worker {
public:
  explicit Worker(const std::string &path)
      : thread_([this, path] {
          tid_ = static_cast<pid_t>(syscall(SYS_gettid));
          GPSWrite(Utf16(path).c_str());
          captured_ = ReadWhole(path);
        }) {}
  ~Worker() { Join(); }

  // Until the worker sits in poll(), its read under way.
  bool WaitUntilPolling() {
    for (int ms = 0; ms < 10000;
         ++ms, std::this_thread::sleep_for(std::chrono::milliseconds(1))) {
      std::string path =
          "/proc/self/task/" + std::to_string(tid_.load()) + "/syscall";
      if (tid_ != 0 &&
          ReadWhole(path).rfind(std::to_string(kPollCall) + " ", 0) == 0) {
        return true;
      }
    }
    return false;
  }
  const std::string &Join() {
    if (thread_.joinable()) {
      thread_.join();
    }
    return captured_;
  }

private:
  std::atomic<pid_t> tid_{0};
  std::string captured_;
  std::thread thread_;
};

// Another program's terminal: untouched means still cooked and held by
// nobody else in this process.
void ExpectUntouched(const FakeReceiver &stranger) {
  EXPECT_NE(stranger.LineSettings().c_lflag & ICANON, 0u);
  EXPECT_EQ(DescriptorsOn(stranger.path()), 1); // its own
}

// A stop button pressed while a worker captures, on a busy and on a quiet
// line, and the host opening a private file right after, which may take the
// port's old descriptor number. The read in flight ends on the port's own
// descriptor, so the host's file is never read, closed or unlocked, and the
// port is free for the next GPSOpen.
TEST_F(ThreadedHost, ACloseDuringAReadNeverTouchesTheHostsNextFile) {
  const std::string secret = dir.File("private");
  for (bool busy : {true, false}) {
    Open();
    Worker worker(dir.File("fix.nmea"));
    if (busy) {
      receiver.Send("$GPGGA,busy\r\n");
      ASSERT_TRUE(receiver.WaitUntilTaken());
    } else {
      ASSERT_TRUE(worker.WaitUntilPolling());
    }
    GPSClose();
    int host = open(secret.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0600);
    ASSERT_EQ(write(host, "HOST-PRIVATE-DATA", 17), 17);
    ASSERT_EQ(lseek(host, 0, SEEK_SET), 0);
    ASSERT_EQ(flock(host, LOCK_EX), 0);
    if (busy) {
      receiver.Send("$GPGGA,more\r\n");
    }
    EXPECT_EQ(worker.Join().find("HOST"), std::string::npos);

    char bytes[32];
    EXPECT_EQ(read(host, bytes, sizeof bytes), 17) << "busy " << busy;
    int intruder = open(secret.c_str(), O_RDONLY);
    EXPECT_NE(flock(intruder, LOCK_EX | LOCK_NB), 0); // still the host's
    close(intruder);
    EXPECT_EQ(close(host), 0);
    EXPECT_EQ(DescriptorsOn(receiver.path()), 1); // the receiver's own
  }
  Open();
  SendAndSettle("$GPRMC,again\r\n");
  EXPECT_EQ(Capture(), "$GPRMC,again\r\n");
}

// Two workers capturing at once, with no port and with one: whatever the
// blocks hold, every descriptor the library opened is closed again.
TEST_F(ThreadedHost, RacingWritersLeakNoDescriptor) {
  const int before = FileRecords();
  auto race = [&](int calls) {
    std::vector<std::thread> writers;
    for (int w = 0; w < 2; ++w) {
      writers.emplace_back([&, w] {
        std::string path = dir.File("race" + std::to_string(w));
        for (int i = 0; i < calls; ++i) {
          GPSWrite(Utf16(path).c_str());
        }
      });
    }
    for (std::thread &writer : writers) {
      writer.join();
    }
  };
  race(5000);
  EXPECT_EQ(FileRecords(), before);

  Open();
  std::atomic<bool> stop{false};
  std::thread feed([&] { // a steady receiver: every read has bytes
    while (!stop) {
      receiver.Send("$GPGGA,race\r\n");
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
  });
  race(10);
  stop = true;
  feed.join();
  GPSClose();
  EXPECT_EQ(FileRecords(), before);
}

// With standard input, output and error closed, the port takes none of
// their numbers, so the host's printf never reaches the receiver.
TEST_F(ThreadedHost, ClosedStandardStreamsAreNeverTakenByThePort) {
  pid_t child = fork();
  if (child == 0) {
    close(0);
    close(1);
    close(2);
    GPSOpen(receiver.port().c_str());
    bool streamsFree = fcntl(0, F_GETFD) == -1 && fcntl(1, F_GETFD) == -1 &&
                       fcntl(2, F_GETFD) == -1;
    std::printf("$GPTXT,from the host's printf\r\n");
    std::fflush(stdout);
    _exit(streamsFree ? 0 : 1);
  }
  int status = -1;
  waitpid(child, &status, 0);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  EXPECT_FALSE(receiver.HeardBack());
}

// GPSOpen("gps") in one folder; the host moves to another that has a "gps"
// of its own, and the receiver is unplugged and plugged in again. The port
// is taken back under the folder it was named in.
TEST_F(ThreadedHost, ARelativeNameIsTakenBackWhereItWasNamed) {
  char here[4096];
  ASSERT_NE(getcwd(here, sizeof here), nullptr);
  TempDir other;
  FakeReceiver stranger;
  ASSERT_EQ(symlink(receiver.path().c_str(), dir.File("gps").c_str()), 0);
  ASSERT_EQ(symlink(stranger.path().c_str(), other.File("gps").c_str()), 0);
  ASSERT_EQ(chdir(dir.path().c_str()), 0);
  GPSOpen(u"gps");
  ASSERT_EQ(chdir(other.path().c_str()), 0);

  receiver.Unplug();
  EXPECT_EQ(Capture(), "");
  FakeReceiver replugged;
  ASSERT_EQ(unlink(dir.File("gps").c_str()), 0);
  ASSERT_EQ(symlink(replugged.path().c_str(), dir.File("gps").c_str()), 0);
  Worker worker(dir.File("fix.nmea"));
  ASSERT_TRUE(replugged.WaitUntilRaw());
  replugged.Send("$GPGGA,home\r\n");
  EXPECT_EQ(worker.Join(), "$GPGGA,home\r\n");
  ExpectUntouched(stranger);
  ASSERT_EQ(chdir(here), 0);
}

// The simulator dies and another program gets its pseudo-terminal number
// behind the user's link: that terminal is never taken. Once the link
// leads to a new simulator, capture goes on.
TEST_F(ThreadedHost, AReusedPseudoTerminalNumberIsNeverTakenOver) {
  std::string link = dir.File("gps");
  auto gone = std::make_unique<FakeReceiver>();
  const std::string number = gone->path();
  ASSERT_EQ(symlink(number.c_str(), link.c_str()), 0);
  GPSOpen(Utf16(link).c_str());
  gone->Unplug();
  EXPECT_EQ(Capture(), "");
  gone.reset();

  // Terminals opened until one gets the dead one's number.
  std::vector<std::unique_ptr<FakeReceiver>> others;
  while (others.size() < 64 &&
         (others.empty() || others.back()->path() != number)) {
    others.push_back(std::make_unique<FakeReceiver>());
  }
  ASSERT_EQ(others.back()->path(), number);
  EXPECT_EQ(Capture(), "");
  ExpectUntouched(*others.back());

  FakeReceiver next;
  ASSERT_EQ(unlink(link.c_str()), 0);
  ASSERT_EQ(symlink(next.path().c_str(), link.c_str()), 0);
  Worker worker(dir.File("fix.nmea"));
  ASSERT_TRUE(next.WaitUntilRaw());
  next.Send("$GPGGA,next\r\n");
  EXPECT_EQ(worker.Join(), "$GPGGA,next\r\n");
  ExpectUntouched(*others.back());
}

} // namespace
