// SPDX-License-Identifier: MIT
// gpscapture end to end: the host program, the simulated receiver and the
// library together, and what a person sees when the port is wrong.
#include <chrono>
#include <csignal>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <memory>
#include <string>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <termios.h>
#include <thread>
#include <unistd.h>

#include <gtest/gtest.h>

#include "receiver/nmea.h"
#include "test_support.h"

namespace {

// The library named outright: under ASan, dlopen does not see the program's
// run path.
const std::string kCapture =
    std::string(GPSCAPTURE) + " --library " + TOLVANE_LIBRARY_FILE;

std::vector<std::string> KeptBlocks(const std::string &dir) {
  std::vector<std::string> names;
  DIR *listing = opendir(dir.c_str());
  while (dirent *entry = listing ? readdir(listing) : nullptr) {
    if (entry->d_name[0] != '.') {
      names.push_back(entry->d_name);
    }
  }
  if (listing) {
    closedir(listing);
  }
  std::sort(names.begin(), names.end());
  return names;
}

TEST(Gpscapture, EveryByteTheReceiverSentLandsInTheBlocksOnce) {
  TempDir dir;
  int status = -1;
  std::string output =
      RunCommand(kCapture + " --rate 0 --blocks 4 --quiet --keep " +
                     dir.File("blocks") + " 2>&1",
                 &status);
  EXPECT_EQ(status, 0) << output;

  std::vector<std::string> blocks = KeptBlocks(dir.File("blocks"));
  ASSERT_EQ(blocks.size(), 4u) << output;
  std::string captured;
  for (const std::string &name : blocks) {
    std::string bytes = ReadWhole(dir.File("blocks/" + name));
    EXPECT_FALSE(bytes.empty()) << name;
    captured += bytes;
  }
  gpssim::Track track; // the simulator's default track
  std::string sent;
  while (sent.size() < captured.size()) {
    sent += track.NextEpoch();
  }
  EXPECT_EQ(captured, sent.substr(0, captured.size()));
  EXPECT_NE(output.find("block 4: "), std::string::npos) << output;
  EXPECT_NE(output.find(" 0 checksum failures"), std::string::npos) << output;
}

std::string RunCapture(const std::string &arguments, int *status) {
  return RunCommand(kCapture + " " + arguments + " 2>&1", status);
}

// Each bad port gets its own message and exit status 4 before anything is
// captured.
TEST(Gpscapture, EachKindOfBadPortIsExplained) {
  TempDir dir;
  WriteWhole(dir.File("file"), "not a port");
  const std::pair<std::string, std::string> kBad[] = {
      {"/dev/no-such-port", "/dev/no-such-port: no such device"},
      {dir.path(), "a directory, not a serial port"},
      {dir.File("file"), "a regular file, not a serial port"},
      {"/dev/null", "/dev/null: the null device, not a serial port"},
      {"/dev/zero", "a device, but not a serial port"},
      {"COM0", "COM0 names no port: COM1 to COM256 are /dev/ttyS0"},
      {"COM300", "COM300 names no port"},
      {"COM200", "COM200 (/dev/ttyS199 here): no such device"},
  };
  for (const auto &[port, message] : kBad) {
    int status = -1;
    std::string output = RunCapture("--port " + port, &status);
    EXPECT_EQ(status, 4) << port << ": " << output;
    EXPECT_NE(output.find(message), std::string::npos) << output;
  }

  FakeReceiver receiver;
  int ready[2];
  ASSERT_EQ(pipe(ready), 0);
  pid_t holder = fork();
  if (holder == 0) {
    int port = open(receiver.path().c_str(), O_RDWR | O_NOCTTY);
    // The parent waits for the byte; a child that fails ends that wait, as
    // it holds the pipe's only write end.
    if (flock(port, LOCK_EX) != 0 || write(ready[1], "y", 1) != 1) {
      _exit(1);
    }
    pause();
    _exit(0);
  }
  close(ready[1]);
  char byte;
  ASSERT_EQ(read(ready[0], &byte, 1), 1);
  int status = -1;
  std::string output = RunCapture("--port " + receiver.path(), &status);
  kill(holder, SIGKILL);
  waitpid(holder, nullptr, 0);
  EXPECT_EQ(status, 4) << output;
  EXPECT_NE(output.find("in use by process "), std::string::npos) << output;
}

TEST(Gpscapture, BadArgumentsAndOutputsAreRefusedUpFront) {
  TempDir dir;
  WriteWhole(dir.File("file"), "");
  const std::pair<std::string, std::string> kUsage[] = {
      {"--port ''", "--port needs a port name"},
      {"--blocks abc", "--blocks needs a whole number above 0, not 'abc'"},
      {"--blocks -5", "not '-5'"},
      {"--seconds 0", "--seconds needs a number above 0"},
      {"stray", "unexpected argument stray"},
      {"--bogus", "unknown option --bogus"},
      {"--blocks=abc", "--blocks needs a whole number above 0, not 'abc'"},
      {"--out a.nmea --keep b", "--out and --keep are alternatives"},
  };
  for (const auto &[arguments, message] : kUsage) {
    int status = -1;
    std::string output = RunCapture(arguments, &status);
    EXPECT_EQ(status, 2) << arguments;
    EXPECT_NE(output.find(message), std::string::npos) << output;
    EXPECT_NE(output.find("usage: gpscapture"), std::string::npos) << output;
  }
  const std::pair<std::string, std::string> kOutput[] = {
      {"--out " + dir.File("missing/fix.nmea"), "no folder "},
      {"--out " + dir.path(), " is not a regular file"},
      {"--keep " + dir.File("file"), " is not a folder"},
  };
  for (const auto &[arguments, message] : kOutput) {
    int status = -1;
    std::string output = RunCapture(arguments, &status);
    EXPECT_EQ(status, 3) << arguments;
    EXPECT_NE(output.find(message), std::string::npos) << output;
  }
  int status = -1;
  EXPECT_NE(RunCapture("--version", &status).find("gpscapture 1."),
            std::string::npos);
  std::string help = RunCapture("--help", &status);
  EXPECT_NE(help.find("runs until Ctrl-C"), std::string::npos);
  EXPECT_NE(help.find("Exit status: 0 done"), std::string::npos);
}

// gpscapture running on a port of the test's, its stderr read line by line.
class RunningCapture {
public:
  explicit RunningCapture(const std::string &arguments) {
    int err[2];
    if (pipe(err) != 0) {
      return;
    }
    pid_ = fork();
    if (pid_ == 0) {
      dup2(err[1], 2);
      int quiet = open("/dev/null", O_WRONLY);
      dup2(quiet, 1);
      execl("/bin/sh", "sh", "-c",
            ("exec " + kCapture + " " + arguments).c_str(),
            static_cast<char *>(nullptr));
      _exit(127);
    }
    close(err[1]);
    err_ = fdopen(err[0], "r");
  }
  ~RunningCapture() {
    if (pid_ > 0) {
      kill(pid_, SIGKILL);
      Wait();
    }
    if (err_ != nullptr) {
      fclose(err_);
    }
  }

  // The next stderr line, or "" at its end.
  std::string NextLine() {
    char line[512];
    return fgets(line, sizeof line, err_) != nullptr ? line : "";
  }
  void Signal(int number) { kill(pid_, number); }
  int Wait() {
    int status = -1;
    rusage usage = {};
    wait4(pid_, &status, 0, &usage);
    pid_ = -1;
    cpuSeconds_ = usage.ru_utime.tv_sec + usage.ru_stime.tv_sec +
                  (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }
  double cpuSeconds() const { return cpuSeconds_; }

private:
  pid_t pid_ = -1;
  FILE *err_ = nullptr;
  double cpuSeconds_ = 0;
};

// The receiver unplugged after its first block, then plugged in again under
// the same name: one status line for the quiet, one for its return, and no
// CPU spent in between.
TEST(Gpscapture, AnUnpluggedReceiverIsWaitedForAndWelcomedBack) {
  TempDir dir;
  auto receiver = std::make_unique<FakeReceiver>();
  std::string link = dir.File("gps");
  ASSERT_EQ(symlink(receiver->path().c_str(), link.c_str()), 0);
  RunningCapture capture("--port " + link + " --blocks 2 --out " +
                         dir.File("fix.nmea"));
  ASSERT_TRUE(receiver->WaitUntilRaw());
  receiver->Send("$GPGGA,one\r\n");
  EXPECT_EQ(capture.NextLine().rfind("block 1: 12 bytes", 0), 0u);
  receiver->Unplug();
  EXPECT_EQ(capture.NextLine(),
            "gpscapture: no data for 10 s; waiting for the receiver\n");

  FakeReceiver replugged;
  ASSERT_EQ(symlink(replugged.path().c_str(), (link + ".new").c_str()), 0);
  ASSERT_EQ(rename((link + ".new").c_str(), link.c_str()), 0);
  ASSERT_TRUE(replugged.WaitUntilRaw());
  replugged.Send("$GPGGA,two\r\n");
  EXPECT_EQ(capture.NextLine().rfind("gpscapture: data again after ", 0), 0u);
  EXPECT_EQ(capture.NextLine().rfind("block 2: 12 bytes", 0), 0u);
  EXPECT_EQ(capture.Wait(), 0);
  std::printf("gpscapture over an unplugged receiver: %.3f s CPU\n",
              capture.cpuSeconds());
  EXPECT_LT(capture.cpuSeconds(), 0.5); // a spin would take all 10 s
}

TEST(Gpscapture, CtrlCEndsItWithinTheReadTimeOutAndTwiceAtOnce) {
  for (int presses : {1, 2}) {
    TempDir dir;
    FakeReceiver receiver;
    RunningCapture capture("--port " + receiver.path() + " --out " +
                           dir.File("fix.nmea"));
    ASSERT_TRUE(receiver.WaitUntilRaw());
    receiver.Send("$GPGGA,one\r\n");
    EXPECT_EQ(capture.NextLine().rfind("block 1: ", 0), 0u);
    auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < presses; ++i) {
      capture.Signal(SIGINT);
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    EXPECT_EQ(capture.NextLine(), ""); // no "no data" after an interrupt
    EXPECT_EQ(capture.Wait(), 130);
    std::chrono::duration<double> took =
        std::chrono::steady_clock::now() - start;
    EXPECT_LT(took.count(), presses == 1 ? 2.5 : 0.5) << presses;
  }
}

TEST(GpsSim, BadArgumentsAndAMissingReplayFileAreNamed) {
  const std::pair<std::string, std::string> kBad[] = {
      {"--epochs abc", "--epochs needs a whole number above 0, not 'abc'"},
      {"--epochs -3", "not '-3'"},
      {"--rate fast", "--rate needs a whole number, not 'fast'"},
      {"--bogus", "unknown option --bogus"},
  };
  for (const auto &[arguments, message] : kBad) {
    int status = 0;
    std::string output =
        RunCommand(std::string(GPS_SIM) + " " + arguments + " 2>&1", &status);
    EXPECT_EQ(status, 2) << arguments;
    EXPECT_NE(output.find(message), std::string::npos) << output;
  }
  int status = 0;
  std::string output = RunCommand(
      std::string(GPS_SIM) + " --replay /no/such.nmea 2>&1", &status);
  EXPECT_EQ(status, 1);
  EXPECT_NE(output.find("cannot read /no/such.nmea"), std::string::npos)
      << output;
}

// A host that reads a little and stops: gps-sim --epochs ends all the same,
// once the host has taken nothing for 5 s.
TEST(GpsSim, EpochsEndWhenTheHostStopsReadingEarly) {
  FILE *sim = popen(GPS_SIM " --epochs 3 --rate 0 2>/dev/null", "r");
  ASSERT_NE(sim, nullptr);
  char path[256] = {};
  ASSERT_NE(fgets(path, sizeof path, sim), nullptr);
  path[strcspn(path, "\n")] = 0;
  int port = open(path, O_RDWR | O_NOCTTY);
  termios raw;
  tcgetattr(port, &raw);
  cfmakeraw(&raw);
  tcsetattr(port, TCSANOW, &raw);
  char bytes[100];
  EXPECT_GT(read(port, bytes, sizeof bytes), 0);
  close(port);
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(pclose(sim), 0);
  double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start)
          .count();
  EXPECT_LT(seconds, 20.0); // it used to wait for ever
}

TEST(Gpscapture, ASilentPortIsReportedAfterTheFirstBlock) {
  FakeReceiver silent;
  TempDir dir;
  int status = 0;
  std::string output = RunCommand(kCapture + " --port " + silent.path() +
                                      " --out " + dir.File("f") + " 2>&1",
                                  &status);
  EXPECT_NE(status, 0);
  EXPECT_NE(output.find("no data from " + silent.path() +
                        " in 2 s: is the receiver connected"),
            std::string::npos)
      << output;
}

} // namespace
