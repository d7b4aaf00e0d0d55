// SPDX-License-Identifier: MIT
// gps-sim, the simulated receiver as a program: its options, and how it ends
// when no host comes or a host stops reading.
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "test_support.h"

namespace {

TEST(GpsSim, BadArgumentsAndAMissingReplayFileAreNamed) {
  const std::pair<std::string, std::string> kBad[] = {
      {"--epochs abc", "--epochs needs a whole number above 0, not 'abc'"},
      {"--epochs -3", "not '-3'"},
      {"--rate fast", "--rate needs a serial line speed from 50 to 921600"},
      {"--rate 7", "not '7'"},
      {"--wait 0", "--wait needs a whole number above 0, not '0'"},
      {"--bogus", "unknown option --bogus"},
  };
  for (const auto &[arguments, message] : kBad) {
    int status = 0;
    std::string output =
        RunCommand(std::string(GPS_SIM) + " " + arguments + " 2>&1", &status);
    EXPECT_EQ(status, 2) << arguments;
    EXPECT_EQ(output.substr(output.find('\n') + 1),
              "Try 'gps-sim --help' for more information.\n");
    EXPECT_NE(output.find(message), std::string::npos) << output;
  }
  // The slowest line and the shortest wait pass the options.
  for (const char *arguments : {"--rate 50", "--wait 1"}) {
    int status = 0;
    std::string output = RunCommand(std::string(GPS_SIM) + " " + arguments +
                                        " --replay /no/such.nmea 2>&1",
                                    &status);
    EXPECT_EQ(status, 1) << arguments;
    EXPECT_NE(output.find("cannot read /no/such.nmea"), std::string::npos)
        << output;
  }
}

// Started by a script whose host never came, it ends on its own; a host that
// comes is the test below.
TEST(GpsSim, NoHostWithinTheWaitEndsIt) {
  int status = 0;
  auto start = Clock::now();
  std::string output =
      RunCommand(std::string(GPS_SIM) + " --wait 1 --epochs 1 2>&1", &status);
  EXPECT_EQ(status, 3) << output;
  EXPECT_NE(output.find(" and made it raw within 1 s"), std::string::npos)
      << output;
  EXPECT_LT(SecondsSince(start), 10.0); // it used to wait for ever
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
  auto start = Clock::now();
  EXPECT_EQ(pclose(sim), 0);
  EXPECT_LT(SecondsSince(start), 20.0); // it used to wait for ever
}

} // namespace
