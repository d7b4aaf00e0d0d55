// SPDX-License-Identifier: MIT
// The simulated receiver: what it says, that it says it the same way every
// time, how a host reads it, and that it keeps to the line's pace.
#include <atomic>
#include <chrono>
#include <poll.h>
#include <sstream>
#include <thread>
#include <unistd.h>

#include <gtest/gtest.h>

#include "receiver/nmea.h"
#include "receiver/simulator.h"

namespace {

std::vector<std::string> Lines(const std::string &text) {
  std::vector<std::string> lines;
  for (size_t start = 0, end;
       (end = text.find("\r\n", start)) != std::string::npos; start = end + 2) {
    lines.push_back(text.substr(start, end - start + 2));
  }
  return lines;
}

TEST(Simulator, EachEpochIsAReceiversSetOfCheckedSentences) {
  gpssim::Track track;
  for (int epoch = 0; epoch < 30; ++epoch) {
    std::string text = track.NextEpoch();
    // Fits a second of a 4800-baud line with a quiet gap to spare.
    EXPECT_GT(text.size(), 300u);
    EXPECT_LT(text.size(), 430u);
    std::string kinds;
    for (const std::string &line : Lines(text)) {
      EXPECT_TRUE(gpssim::ChecksumMatches(line)) << line;
      EXPECT_LE(line.size(), 82u) << line; // NMEA's longest sentence
      kinds += line.substr(3, 3) + " ";
    }
    EXPECT_EQ(kinds, "GGA GSA GSV GSV GSV RMC VTG ");
  }
  EXPECT_FALSE(gpssim::ChecksumMatches("$GPVTG,1.0,T*00\r\n"));
  EXPECT_FALSE(gpssim::ChecksumMatches("GPVTG,1.0,T*3F\r\n"));
}

TEST(Simulator, TheTrackMovesAndRepeatsForTheSameSeed) {
  gpssim::Track first(7), again(7), other(8);
  gpssim::Reading start, later;
  std::string epoch = first.NextEpoch();
  EXPECT_EQ(epoch, again.NextEpoch());
  EXPECT_NE(epoch, other.NextEpoch());
  gpssim::ReadSentences(epoch, &start);
  for (int i = 0; i < 59; ++i) {
    epoch = first.NextEpoch();
  }
  gpssim::ReadSentences(epoch, &later);
  EXPECT_EQ(start.fixTime, "100000.00");
  EXPECT_EQ(later.fixTime, "100059.00");
  EXPECT_NE(start.position, later.position);
}

TEST(Simulator, AHostReadsSentencesSplitAcrossBlocks) {
  std::string text = gpssim::Track().NextEpoch();
  text.replace(text.find("*"), 3, "*00"); // spoil the first checksum
  gpssim::Reading reading;
  std::string rest = gpssim::ReadSentences(text.substr(0, 100), &reading);
  rest = gpssim::ReadSentences(rest + text.substr(100), &reading);
  EXPECT_EQ(rest, "");
  EXPECT_EQ(reading.sentences, 7);
  EXPECT_EQ(reading.checksumFailures, 1);
  EXPECT_EQ(reading.fixTime, "100000.00");
  EXPECT_EQ(reading.position.substr(0, 10), "59.43704 N");
}

// Reads count bytes from fd; returns when the last arrived, or never.
std::chrono::steady_clock::time_point LastByteTime(int fd, size_t count) {
  char chunk[512];
  for (size_t got = 0; got < count;) {
    pollfd ready = {fd, POLLIN, 0};
    ssize_t n = poll(&ready, 1, 5000) > 0 ? read(fd, chunk, sizeof chunk) : 0;
    if (n <= 0) {
      return std::chrono::steady_clock::time_point::max();
    }
    got += static_cast<size_t>(n);
  }
  return std::chrono::steady_clock::now();
}

TEST(Nmea, BrokenFieldsAndProprietarySentencesGiveNoFix) {
  gpssim::Reading reading;
  gpssim::ReadSentences(
      gpssim::Sentence("GPRMC,100000.00,A,xx00.0,N,02445.2207,E,1,2,081226") +
          gpssim::Sentence("GPGGA,100001.00,5926.2223,Q,02445.2207,E,1") +
          gpssim::Sentence("PGRMC,100002.00,A,5926.2223,N,02445.2207,E"),
      &reading);
  EXPECT_EQ(reading.sentences, 3);
  EXPECT_EQ(reading.checksumFailures, 0);
  EXPECT_EQ(reading.fixTime, "");
  EXPECT_EQ(reading.position, "");
}

TEST(Simulator, PatternBytesKeepToTheLinesPace) {
  int sink[2];
  ASSERT_EQ(pipe(sink), 0);
  gpssim::Options options;
  options.baud = 9600;         // 960 bytes a second
  options.patternBytes = 2400; // 2.5 s on the line
  std::atomic<bool> stop{false};
  auto start = std::chrono::steady_clock::now();
  std::thread receiver([&] { gpssim::Emit(sink[1], options, stop); });
  std::chrono::duration<double> seconds = LastByteTime(sink[0], 2400) - start;
  receiver.join();
  close(sink[0]);
  close(sink[1]);
  // The last 9-byte chunk leaves 2391 byte times (2.49 s) after the first:
  // never sooner. A busy machine can only make it later; the upper bound
  // allows for that.
  EXPECT_GE(seconds.count(), 2.49);
  EXPECT_LT(seconds.count(), 2.49 * 1.5);
  std::printf("2400 bytes at 9600 baud took %.3f s (line time 2.49 s)\n",
              seconds.count());
}

} // namespace
