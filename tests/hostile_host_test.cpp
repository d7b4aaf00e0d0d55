// SPDX-License-Identifier: MIT
// Hosts that break the one-call-at-a-time contract, or leave the process in
// states a library must not trip over. What the library owns stays its own:
// no host descriptor is read, closed or unlocked, nothing leaks, and no
// stranger's terminal is taken.
#include <algorithm>
#include <atomic>
#include <fcntl.h>
#include <memory>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "library_host.h"

namespace {

using HostileHost = LibraryHost;

// The descriptors that lead to a path, as everything the library opens
// here does (pipes a sanitizer opens to its symbolizer are not counted).
int FileRecords() {
  std::vector<std::string> targets = DescriptorTargets();
  return static_cast<int>(
      std::count_if(targets.begin(), targets.end(),
                    [](const std::string &to) { return to[0] == '/'; }));
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
TEST_F(HostileHost, ACloseDuringAReadNeverTouchesTheHostsNextFile) {
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
TEST_F(HostileHost, RacingWritersLeakNoDescriptor) {
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
TEST_F(HostileHost, ClosedStandardStreamsAreNeverTakenByThePort) {
  EXPECT_EQ(ExitStatusOf([&] {
              close(0);
              close(1);
              close(2);
              GPSOpen(receiver.port().c_str());
              bool streamsFree = fcntl(0, F_GETFD) == -1 &&
                                 fcntl(1, F_GETFD) == -1 &&
                                 fcntl(2, F_GETFD) == -1;
              std::printf("$GPTXT,from the host's printf\r\n");
              std::fflush(stdout);
              _exit(streamsFree ? 0 : 1);
            }),
            0);
  EXPECT_FALSE(receiver.HeardBack());
}

// GPSOpen("gps") in one folder; the host moves to another that has a "gps"
// of its own, and the receiver is unplugged and plugged in again. The port
// is taken back under the folder it was named in, whatever that folder's
// name: plain, not valid UTF-8, or longer than a wide path buffer holds.
TEST_F(HostileHost, ARelativeNameIsTakenBackWhereItWasNamed) {
  char here[4096];
  ASSERT_NE(getcwd(here, sizeof here), nullptr);
  std::string deep = dir.File("deep");
  for (int level = 0; level < 8; ++level) {
    deep += "/" + std::string(200, static_cast<char>('a' + level));
  }
  for (const std::string &home :
       {dir.File("plain"), dir.File("caf\xe9"), deep}) {
    ASSERT_EQ(RunCommand("mkdir -p '" + home + "' && echo ok"), "ok\n");
    TempDir other;
    FakeReceiver first, stranger;
    std::string link = home + "/gps";
    ASSERT_EQ(symlink(first.path().c_str(), link.c_str()), 0);
    ASSERT_EQ(symlink(stranger.path().c_str(), other.File("gps").c_str()), 0);
    ASSERT_EQ(chdir(home.c_str()), 0);
    GPSOpen(u"gps");
    ASSERT_EQ(chdir(other.path().c_str()), 0);

    first.Unplug();
    EXPECT_EQ(Capture(), "");
    FakeReceiver replugged;
    ASSERT_EQ(unlink(link.c_str()), 0);
    ASSERT_EQ(symlink(replugged.path().c_str(), link.c_str()), 0);
    Worker worker(dir.File("fix.nmea"));
    ASSERT_TRUE(replugged.WaitUntilRaw());
    replugged.Send("$GPGGA,home\r\n");
    EXPECT_EQ(worker.Join(), "$GPGGA,home\r\n") << home.size() << " bytes";
    ExpectUntouched(stranger);
    GPSClose();
    ASSERT_EQ(chdir(here), 0);
  }
}

// Opens terminals until one gets number's path; the others stay open.
std::unique_ptr<FakeReceiver> &
TerminalNumbered(const std::string &number,
                 std::vector<std::unique_ptr<FakeReceiver>> &terminals) {
  while (terminals.size() < 64 &&
         (terminals.empty() || terminals.back()->path() != number)) {
    terminals.push_back(std::make_unique<FakeReceiver>());
  }
  return terminals.back();
}

// A pseudo-terminal number is handed to whoever asks next. A retry takes
// the terminal behind a number only when the host's name leads to it: never
// through the link that led to the earlier terminal, even touched or renamed
// away and back, nor a dangling link, nor a number named directly that hung
// up; at once through a link re-made for a restarted simulator (ext4 gives
// it the old link's inode number), whatever number it got, the inner link of
// a chain included, and when its program opens the terminal up afterwards.
TEST_F(HostileHost, APseudoTerminalIsTakenOnlyWhenTheNameLeadsToIt) {
  enum Story {
    kStaleLink,
    kTouchedStaleLink,
    kDanglingLink,
    kNamedDirectly,
    kRestarted,
    kInnerRestarted
  };
  // False when another program of the machine (another test running at the
  // same time) got the freed number first: the story is told again.
  auto tell = [&](Story story, const std::string &link) {
    auto gone = std::make_unique<FakeReceiver>();
    const std::string number = gone->path();
    const std::string inner = link + ".inner";
    if (story == kDanglingLink) {
      gone.reset(); // the number is free before GPSOpen
    }
    unlink(link.c_str());
    unlink(inner.c_str());
    if (story == kInnerRestarted) {
      EXPECT_EQ(symlink(number.c_str(), inner.c_str()), 0);
      EXPECT_EQ(symlink(inner.c_str(), link.c_str()), 0);
    } else {
      EXPECT_EQ(symlink(number.c_str(), link.c_str()), 0);
    }
    GPSOpen(Utf16(story == kNamedDirectly ? number : link).c_str());
    if (gone) {
      gone->Unplug();
      EXPECT_EQ(Capture(), "");
      gone.reset();
    }
    std::vector<std::unique_ptr<FakeReceiver>> others;
    FakeReceiver &next = *TerminalNumbered(number, others);
    if (next.path() != number) {
      GPSClose();
      return false;
    }
    if (story == kTouchedStaleLink) {
      const timespec now[2] = {{0, UTIME_NOW}, {0, UTIME_NOW}};
      EXPECT_EQ(utimensat(AT_FDCWD, link.c_str(), now, AT_SYMLINK_NOFOLLOW), 0);
      EXPECT_EQ(rename(link.c_str(), (link + ".away").c_str()), 0);
      EXPECT_EQ(rename((link + ".away").c_str(), link.c_str()), 0);
    }
    if (story == kRestarted || story == kInnerRestarted) {
      const std::string &remade = story == kRestarted ? link : inner;
      EXPECT_EQ(unlink(remade.c_str()), 0);
      EXPECT_EQ(symlink(number.c_str(), remade.c_str()), 0);
      EXPECT_EQ(chmod(number.c_str(), 0666), 0); // socat's mode=
      Worker worker(dir.File("fix.nmea"));
      EXPECT_TRUE(next.WaitUntilRaw());
      next.Send("$GPGGA,restarted\r\n");
      EXPECT_EQ(worker.Join(), "$GPGGA,restarted\r\n");
    } else {
      EXPECT_EQ(Capture(), "");
      ExpectUntouched(next);
    }
    GPSClose();
    return true;
  };
  for (Story story : {kStaleLink, kTouchedStaleLink, kDanglingLink,
                      kNamedDirectly, kRestarted, kInnerRestarted}) {
    SCOPED_TRACE(story);
    const std::string link = dir.File("gps" + std::to_string(story));
    bool told = false;
    for (int tries = 0; tries < 5 && !told; ++tries) {
      told = tell(story, link);
    }
    EXPECT_TRUE(told) << "the freed number kept going to other programs";
  }
}

// Forks while other threads are inside the library: every child's calls
// complete as in any process, whatever the threads held at the fork.
TEST_F(HostileHost, ChildrenForkedDuringCallsNeverHang) {
  std::atomic<bool> stop{false};
  std::vector<std::thread> callers;
  for (int t = 0; t < 8; ++t) { // more than the cores: some are preempted
    callers.emplace_back([&, t] {
      std::u16string path = Utf16(dir.File("busy" + std::to_string(t)));
      while (!stop) {
        GPSWrite(path.c_str()); // no port: a capture file made and closed
      }
    });
  }
  const std::u16string childPath = Utf16(dir.File("child"));
  std::vector<pid_t> children;
  for (int i = 0; i < 2000; ++i) {
    pid_t child = fork();
    if (child == 0) {
      GPSWrite(childPath.c_str());
      GPSClose();
      _exit(0);
    }
    children.push_back(child);
  }
  stop = true;
  for (std::thread &caller : callers) {
    caller.join();
  }
  // A child that has not ended within 10 s (a few ms each, on a loaded
  // machine) waits on a lock that will never be released.
  int stuck = 0;
  auto deadline = Clock::now() + std::chrono::seconds(10);
  for (pid_t child : children) {
    int status = 0;
    while (waitpid(child, &status, WNOHANG) == 0) {
      if (Clock::now() > deadline) {
        ++stuck;
        kill(child, SIGKILL);
        waitpid(child, &status, 0);
        break;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
  }
  EXPECT_EQ(stuck, 0) << "of " << children.size();
}

// Two threads opening and closing their own ports at once, so that each
// GPSClose meets the other's open in flight: after the last GPSClose no
// descriptor the library opened is left, and the port is free for the next
// GPSOpen.
TEST_F(HostileHost, RacingOpensAndClosesLeaveNothingOpenAndCloseWins) {
  FakeReceiver second;
  const int before = FileRecords();
  std::atomic<bool> stop{false};
  auto race = [&](const FakeReceiver &mine) {
    std::u16string port = mine.port();
    while (!stop) {
      GPSOpen(port.c_str());
      GPSClose();
    }
  };
  std::thread one(race, std::cref(receiver));
  std::thread two(race, std::cref(second));
  std::this_thread::sleep_for(std::chrono::seconds(2));
  stop = true;
  one.join();
  two.join();
  GPSClose();
  EXPECT_EQ(FileRecords(), before);
  EXPECT_EQ(DescriptorsOn(receiver.path()), 1); // the receiver's own
  EXPECT_EQ(DescriptorsOn(second.path()), 1);
  Open();
  SendAndSettle("$GPGGA,after\r\n");
  EXPECT_EQ(Capture(), "$GPGGA,after\r\n");
}

} // namespace
