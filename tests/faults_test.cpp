// Faults the library must survive: an unplugged receiver, a storm of
// signals, a port held elsewhere, a reused descriptor number, capture paths
// that cannot be written, and names that are no names.
#include <chrono>
#include <csignal>
#include <ctime>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

#include "library_host.h"

namespace {

using Faults = LibraryHost;
using Clock = std::chrono::steady_clock;

double Seconds(Clock::duration d) {
  return std::chrono::duration<double>(d).count();
}

double CpuSeconds() {
  timespec now;
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
  return now.tv_sec + now.tv_nsec / 1e9;
}

TEST_F(Faults, AnUnpluggedReceiverIsNoticedAtOnceAndCostsNoCpu) {
  Open();
  receiver.Unplug();
  auto start = Clock::now();
  double cpu = CpuSeconds();
  for (int i = 0; i < 5; ++i) {
    EXPECT_EQ(Capture(), "");
  }
  double cpuUsed = CpuSeconds() - cpu;
  std::printf("5 reads of a dead line: %.1f ms wall, %.2f ms CPU\n",
              Seconds(Clock::now() - start) * 1e3, cpuUsed * 1e3);
  EXPECT_LT(Clock::now() - start, std::chrono::seconds(1));
  EXPECT_LT(cpuUsed, 0.05);
}

// Interrupts the process 1000 times a second, with handlers that do not ask
// for interrupted calls to be restarted.
class SignalStorm {
public:
  SignalStorm() {
    struct sigaction action = {};
    action.sa_handler = [](int) {};
    sigaction(SIGALRM, &action, &previous_);
    itimerval every = {{0, 1000}, {0, 1000}};
    setitimer(ITIMER_REAL, &every, nullptr);
  }
  ~SignalStorm() {
    itimerval off = {};
    setitimer(ITIMER_REAL, &off, nullptr);
    sigaction(SIGALRM, &previous_, nullptr);
  }

private:
  struct sigaction previous_;
};

TEST_F(Faults, ASignalStormBendsNoTimeOutAndLosesNoByte) {
  Open();
  SignalStorm storm;

  // A block that has all arrived ends one quiet gap later, not sooner (an
  // interruption is no silence) and not much later (nor does it restart the
  // wait).
  std::string sent = AllPassingBytes();
  SendAndSettle(sent);
  auto start = Clock::now();
  EXPECT_EQ(Capture(), sent);
  double block = Seconds(Clock::now() - start);
  EXPECT_GE(block, 0.1);
  EXPECT_LT(block, 1.0);

  start = Clock::now();
  EXPECT_EQ(Capture(), "");
  double empty = Seconds(Clock::now() - start);
  EXPECT_GE(empty, 2.0);
  EXPECT_LT(empty, 3.0);
  std::printf("under 1 kHz signals: a block took %.3f s, nothing %.3f s\n",
              block, empty);

  std::string stream;
  for (int i = 0; stream.size() < 60000; ++i) {
    stream += AllPassingBytes();
  }
  std::thread feeder([&] { receiver.Send(stream); });
  std::string received;
  while (received.size() < stream.size()) {
    std::string piece = Capture();
    if (piece.empty()) {
      break;
    }
    received += piece;
  }
  feeder.join();
  EXPECT_EQ(received, stream);
}

TEST_F(Faults, APortHeldByAnotherProcessIsRefusedWithoutBlocking) {
  int ready[2], release[2];
  ASSERT_EQ(pipe(ready), 0);
  ASSERT_EQ(pipe(release), 0);
  pid_t holder = fork();
  if (holder == 0) {
    close(release[1]);
    int port = open(receiver.path().c_str(), O_RDWR | O_NOCTTY);
    char byte = flock(port, LOCK_EX | LOCK_NB) == 0 ? 'y' : 'n';
    write(ready[1], &byte, 1);
    read(release[0], &byte, 1); // until the parent lets go
    _exit(0);
  }
  char locked = 0;
  ASSERT_EQ(read(ready[0], &locked, 1), 1);
  ASSERT_EQ(locked, 'y');

  Open();
  auto start = Clock::now();
  WriteWhole(dir.File("fix.nmea"), "old block");
  EXPECT_EQ(Capture(), "");
  EXPECT_LT(Clock::now() - start, std::chrono::milliseconds(500));

  close(release[1]);
  waitpid(holder, nullptr, 0);
  Open(); // free again
  SendAndSettle("$GPRMC\r\n");
  EXPECT_EQ(Capture(), "$GPRMC\r\n");
  for (int fd : {ready[0], ready[1], release[0]}) {
    close(fd);
  }
}

TEST_F(Faults, ADescriptorNumberReusedAfterCloseIsNeverTouched) {
  int lowestFree = open("/dev/null", O_RDONLY);
  close(lowestFree);
  Open(); // the port takes that number
  GPSClose();
  int host[2];
  ASSERT_EQ(pipe(host), 0);
  ASSERT_EQ(host[0], lowestFree); // the host now owns the port's old number
  ASSERT_EQ(write(host[1], "host data", 9), 9);

  EXPECT_EQ(Capture(), "");
  EXPECT_EQ(GPSClose(), 999);
  char bytes[16];
  EXPECT_NE(fcntl(host[0], F_GETFD), -1);           // still open
  EXPECT_EQ(read(host[0], bytes, sizeof bytes), 9); // nothing was read
  close(host[0]);
  close(host[1]);
}

TEST_F(Faults, CapturePathsThatCannotBeWrittenLoseOnlyTheirOwnBlock) {
  Open();
  ASSERT_EQ(mkfifo(dir.File("fifo").c_str(), 0600), 0);
  const std::string unwritable[] = {dir.File("missing/fix.nmea"), dir.path(),
                                    dir.File("fifo"), "/dev/full"};
  for (const std::string &path : unwritable) {
    SendAndSettle("lost\r\n");
    auto start = Clock::now();
    EXPECT_EQ(GPSWrite(Utf16(path).c_str()), 999) << path;
    EXPECT_LT(Clock::now() - start, std::chrono::seconds(1)) << path;
    SendAndSettle("next\r\n");
    EXPECT_EQ(Capture(), "next\r\n") << "after " << path;
  }
  EXPECT_FALSE(Exists(dir.File("missing")));
}

// Root writes anywhere, so read-only places are tried by a child that has
// given up root, still holding the port it inherited.
TEST_F(Faults, ReadOnlyFilesAndDirectoriesAreLeftAlone) {
  Open();
  std::string locked = dir.File("locked"), open = dir.File("open");
  mkdir(locked.c_str(), 0755);
  mkdir(open.c_str(), 0777);
  WriteWhole(open + "/read-only.nmea", "kept");
  chmod((open + "/read-only.nmea").c_str(), 0444);
  chmod(dir.path().c_str(), 0755);
  SendAndSettle("one\r\n");

  pid_t child = fork();
  if (child == 0) {
    bool ok = setgid(65534) == 0 && setuid(65534) == 0;
    GPSWrite(Utf16(open + "/read-only.nmea").c_str());
    GPSWrite(Utf16(locked + "/new.nmea").c_str());
    _exit(ok ? 0 : 1);
  }
  ASSERT_TRUE(receiver.WaitUntilTaken());
  int status = -1;
  waitpid(child, &status, 0);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  EXPECT_EQ(ReadWhole(open + "/read-only.nmea"), "kept");
  EXPECT_FALSE(Exists(locked + "/new.nmea"));
  SendAndSettle("two\r\n");
  EXPECT_EQ(Capture(), "two\r\n");
}

TEST_F(Faults, NamesThatAreNoNamesOpenNothing) {
  // 100 units with no terminator, the last one just before a page nobody may
  // read: the copy stops at the buffer's end and never reaches that page.
  long page = sysconf(_SC_PAGESIZE);
  auto *pages =
      static_cast<char *>(mmap(nullptr, 2 * page, PROT_READ | PROT_WRITE,
                               MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
  ASSERT_NE(pages, MAP_FAILED);
  mprotect(pages + page, page, PROT_NONE);
  auto *edge = reinterpret_cast<char16_t *>(pages + page) - 100;
  for (int i = 0; i < 100; ++i) {
    edge[i] = u'x';
  }
  EXPECT_EQ(GPSOpen(edge), 999);
  munmap(pages, 2 * page);

  for (const std::u16string &name :
       {std::u16string(1000, u'/'), std::u16string(u"COM0"),
        std::u16string(u"COM257"), std::u16string(u"\\\\.\\COM0")}) {
    EXPECT_EQ(GPSOpen(name.c_str()), 999);
    EXPECT_EQ(Capture(), "");
  }
}

TEST_F(Faults, ANonAsciiPortNameReachesItsDevice) {
  std::string link = dir.File("port-\xc3\xa9\xe2\x82\xac\xf0\x9d\x84\x9e");
  ASSERT_EQ(symlink(receiver.path().c_str(), link.c_str()), 0);
  std::u16string name = Utf16(dir.File("port-")) + u"\u00e9\u20ac\U0001D11E";
  EXPECT_EQ(GPSOpen(name.c_str()), 999);
  SendAndSettle("$GPGSA\r\n");
  EXPECT_EQ(Capture(), "$GPGSA\r\n");
}

} // namespace
