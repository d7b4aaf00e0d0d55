// gpscapture end to end: the host program, the simulated receiver and the
// library together, and what a person sees when the port is wrong.
#include <dirent.h>
#include <string>

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

TEST(Gpscapture, AMissingPortIsNamedAndFails) {
  int status = 0;
  std::string output =
      RunCommand(kCapture + " --port /dev/no-such-port 2>&1", &status);
  EXPECT_NE(status, 0);
  EXPECT_NE(output.find("cannot open /dev/no-such-port"), std::string::npos)
      << output;
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
