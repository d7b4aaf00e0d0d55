// SPDX-License-Identifier: MIT
// gpscapture end to end: the host program, the simulated receiver and the
// library together, and what a person sees when the port is wrong.
#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <memory>
#include <regex>
#include <set>
#include <string>
#include <sys/file.h>
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
  EXPECT_NE(output.find("simulated receiver, unpaced, on "), std::string::npos);
  EXPECT_EQ(output.find("no valid NMEA sentence"), std::string::npos);

  // A second run into the same folder would replace those blocks: only
  // with --force.
  const std::string again = kCapture + " --rate 0 --blocks 1 --quiet --keep " +
                            dir.File("blocks") + " 2>&1";
  output = RunCommand(again, &status);
  EXPECT_EQ(status, 3) << output;
  EXPECT_NE(output.find("holds blocks already"), std::string::npos) << output;
  output = RunCommand(again + " --force", &status);
  EXPECT_EQ(status, 0) << output;
  EXPECT_EQ(KeptBlocks(dir.File("blocks")).size(), 4u);
}

// A call runs to its end, so the run stops before a block that would end
// past the limit: at 4800 baud, two one-second epochs in --seconds 2.5, not
// a third that would end at 3 s.
TEST(Gpscapture, SecondsStopsAtTheLimit) {
  TempDir dir;
  int status = -1;
  auto start = Clock::now();
  std::string output = RunCommand(kCapture + " --seconds 2 --quiet --keep " +
                                      dir.File("b") + " 2>&1",
                                  &status);
  double took = SecondsSince(start);
  EXPECT_EQ(status, 0) << output;
  EXPECT_NE(output.find("simulated receiver, at 4800 baud, on "),
            std::string::npos);
  EXPECT_EQ(KeptBlocks(dir.File("b")).size(), 2u) << output;
  EXPECT_LT(took, 2.5) << output;
}

// gpscapture on the port of a gps-sim started with simArguments.
std::string CaptureFromSim(const std::string &simArguments,
                           const std::string &arguments) {
  FILE *sim = popen((GPS_SIM " " + simArguments + " 2>/dev/null").c_str(), "r");
  char port[256] = {};
  if (sim == nullptr || fgets(port, sizeof port, sim) == nullptr) {
    return "no gps-sim";
  }
  port[strcspn(port, "\n")] = 0;
  std::string output =
      RunCommand(kCapture + " --port " + port + " " + arguments + " 2>&1");
  pclose(sim);
  return output;
}

// Two recorded epochs come back a second apart, one block each; raw bytes
// with no sentence in them are doubted once, after three blocks.
TEST(Gpscapture, ReplaysKeepTheirEpochsAndGarbageIsDoubted) {
  TempDir dir;
  gpssim::Track track;
  const std::string epoch1 = track.NextEpoch(), epoch2 = track.NextEpoch();
  WriteWhole(dir.File("log.nmea"), epoch1 + epoch2);
  CaptureFromSim("--replay " + dir.File("log.nmea"),
                 "--blocks 2 --quiet --keep " + dir.File("b"));
  EXPECT_EQ(ReadWhole(dir.File("b/block-000001.nmea")), epoch1);
  EXPECT_EQ(ReadWhole(dir.File("b/block-000002.nmea")), epoch2);

  std::string output =
      CaptureFromSim("--pattern 20000 --rate 0",
                     "--blocks 4 --quiet --out " + dir.File("raw.nmea"));
  const std::string doubt = "gpscapture: 3 blocks and no valid NMEA sentence: "
                            "is the receiver at 4800 baud?\n";
  EXPECT_NE(output.find("block 3: 5000 bytes, 0 sentences"), std::string::npos)
      << output;
  size_t at = output.find(doubt);
  EXPECT_NE(at, std::string::npos) << output;
  EXPECT_EQ(output.find(doubt, at + 1), std::string::npos) << output;
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
  HoldingChild holder([&] {
    int port = open(receiver.path().c_str(), O_RDWR | O_NOCTTY);
    return flock(port, LOCK_EX) == 0;
  });
  ASSERT_TRUE(holder.taken());
  int status = -1;
  std::string output = RunCapture("--port " + receiver.path(), &status);
  holder.Kill();
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
      {"--rate 7", "--rate needs a serial line speed from 50 to 921600"},
      {"--rate 9601", "not '9601'"},
      {"--port /dev/null --rate 9600", "--rate paces the simulated receiver"},
      {"--rate=4800 --port /dev/null", "with --port the line runs at 4800"},
      {"--force", "--force goes with --keep"},
  };
  for (const auto &[arguments, message] : kUsage) {
    int status = -1;
    std::string output = RunCapture(arguments, &status);
    EXPECT_EQ(status, 2) << arguments;
    // The problem, then one line instead of the whole usage.
    EXPECT_EQ(output.substr(output.find('\n') + 1),
              "Try 'gpscapture --help' for more information.\n");
    EXPECT_NE(output.find(message), std::string::npos) << output;
  }
  // The slowest and the fastest line pass the options, to the output check.
  const std::pair<std::string, std::string> kOutput[] = {
      {"--rate 50 --out " + dir.File("missing/fix.nmea"), "no folder "},
      {"--rate 921600 --out " + dir.File("missing/fix.nmea"), "no folder "},
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

// dlopen searches the library path for a name without a slash; the tool
// loads a file of that name from the current folder instead.
TEST(Gpscapture, ALibraryNamedWithoutAFolderIsLoadedFromHere) {
  TempDir dir;
  WriteWhole(dir.File("lib.so"), ReadWhole(TOLVANE_LIBRARY_FILE));
  WriteWhole(dir.File("regular.txt"), "not a library");
  const std::pair<std::string, std::string> kCases[] = {
      {"lib.so", "block 1: "},
      {"regular.txt", "cannot load ./regular.txt: "},
      {"absent.so", "cannot load absent.so: "},
  };
  for (const auto &[library, message] : kCases) {
    int status = -1;
    std::string output = RunCommand(
        "cd " + dir.path() + " && " + kCapture +
            " --rate 0 --blocks 1 --quiet --library " + library + " 2>&1",
        &status);
    EXPECT_EQ(status, library == "lib.so" ? 0 : 5) << output;
    EXPECT_NE(output.find(message), std::string::npos) << output;
  }
}

// gpscapture running on a port of the test's, its stderr read line by line.
class RunningCapture : public ChildProcess {
public:
  explicit RunningCapture(const std::string &arguments)
      : ChildProcess({"/bin/sh", "-c", "exec " + kCapture + " " + arguments},
                     2) {}
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
            "gpscapture: no data for 10 s; waiting for the receiver");

  FakeReceiver replugged;
  ASSERT_EQ(symlink(replugged.path().c_str(), (link + ".new").c_str()), 0);
  ASSERT_EQ(rename((link + ".new").c_str(), link.c_str()), 0);
  ASSERT_TRUE(replugged.WaitUntilRaw());
  replugged.Send("$GPGGA,two\r\n");
  EXPECT_EQ(capture.NextLine().rfind("gpscapture: data again after ", 0), 0u);
  EXPECT_EQ(capture.NextLine().rfind("block 2: 12 bytes", 0), 0u);
  double cpu = capture.CpuSeconds(); // to its last block
  EXPECT_EQ(capture.Wait(), 0);
  std::printf("gpscapture over an unplugged receiver: %.3f s CPU\n", cpu);
  EXPECT_LT(cpu, 0.5); // a spin would take all 10 s
}

TEST(Gpscapture, CtrlCEndsItWithinTheReadTimeOutAndTwiceAtOnce) {
  for (int presses : {1, 2}) {
    TempDir dir;
    FakeReceiver receiver;
    RunningCapture capture("--port " + receiver.path() + " --out " +
                           dir.File("fix.nmea"));
    ASSERT_TRUE(receiver.WaitUntilRaw());
    receiver.Send("$");
    EXPECT_EQ(capture.NextLine(), "block 1: 1 byte, 0 sentences, 0 checksum "
                                  "failures, fix - at -");
    auto start = Clock::now();
    for (int i = 0; i < presses; ++i) {
      capture.Signal(SIGINT);
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    EXPECT_EQ(capture.NextLine(), ""); // no "no data" after an interrupt
    EXPECT_EQ(capture.Wait(), 130);
    EXPECT_LT(SecondsSince(start), presses == 1 ? 2.5 : 0.5) << presses;
  }
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

// Every "--word" a text names, troff's "\-" read as "-".
std::set<std::string> OptionsIn(std::string text) {
  for (size_t at; (at = text.find("\\-")) != std::string::npos;) {
    text.erase(at, 1);
  }
  const std::regex option("--[a-z][a-z-]*");
  std::set<std::string> options;
  for (std::sregex_iterator it(text.begin(), text.end(), option), end;
       it != end; ++it) {
    options.insert(it->str());
  }
  return options;
}

TEST(ToolManuals, TheHelpAndTheManualPageNameTheSameOptions) {
  const std::pair<std::string, std::string> kTools[] = {
      {GPSCAPTURE, "gpscapture.1"}, {GPS_SIM, "gps-sim.1"}};
  for (const auto &[tool, page] : kTools) {
    std::string manual = ReadWhole(std::string(TOLVANE_MAN_DIR) + "/" + page);
    // From the synopsis to the options' end: the examples may run another
    // tool.
    size_t begin = manual.find(".SH SYNOPSIS");
    size_t end = manual.find(".SH EXIT STATUS");
    ASSERT_LT(begin, end) << page;
    std::set<std::string> help = OptionsIn(RunCommand(tool + " --help"));
    EXPECT_GE(help.size(), 8u) << tool;
    EXPECT_EQ(help, OptionsIn(manual.substr(begin, end - begin))) << page;
  }
}

// The library page's example says it needs C11: it builds with it, and
// not with C99.
TEST(ToolManuals, TheLibraryPagesExampleBuildsAsC11) {
  std::string page = ReadWhole(std::string(TOLVANE_MAN_DIR) + "/TolvaneGPS.3");
  size_t begin = page.find(".EX\n", page.find(".SH EXAMPLES")) + 4;
  TempDir dir;
  WriteWhole(dir.File("host.c"), page.substr(begin, page.find(".EE") - begin));
  for (const char *standard : {"c99", "c11"}) {
    int status = -1;
    std::string output = RunCommand(
        std::string("cc -fsyntax-only -Wall -Wextra -Wpedantic -Werror -std=") +
            standard + " -I" + TOLVANE_MAN_DIR + "/../include " +
            dir.File("host.c") + " 2>&1",
        &status);
    EXPECT_EQ(status == 0, standard == std::string("c11")) << output;
  }
}

} // namespace
