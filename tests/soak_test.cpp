// SPDX-License-Identifier: MIT
// A long run: megabytes of every byte value but XON and XOFF, in bursts of
// all sizes with gaps short and long, reach the capture files exactly once.
#include <atomic>
#include <chrono>
#include <thread>

#include "library_host.h"
#include "receiver/simulator.h"

namespace {

using Soak = LibraryHost;

TEST_F(Soak, EightMebibytesInBurstsArriveWholeAndInOrder) {
  const size_t total = 8u << 20;
  std::string stream(total, 0);
  for (size_t i = 0; i < total; ++i) {
    stream[i] = gpssim::PatternByte(static_cast<long long>(i * 7 + i / 254));
  }
  Open();

  std::atomic<bool> fed{false};
  std::thread feeder([&] {
    uint32_t random = 12345;
    for (size_t at = 0, burst = 0; at < total; ++burst) {
      random = random * 1664525u + 1013904223u;
      size_t size = std::min<size_t>(1 + (random >> 8) % 20000, total - at);
      receiver.Send(stream.substr(at, size));
      at += size;
      // Mostly back to back or a little apart; now and then longer than the
      // quiet gap, so that blocks also end on silence.
      int pause = burst % 64 == 63 ? 150 : static_cast<int>(random % 3);
      std::this_thread::sleep_for(std::chrono::milliseconds(pause));
    }
    fed = true;
  });

  std::string received;
  long blocks = 0, emptyAfterFeed = 0;
  while (received.size() < total && emptyAfterFeed < 2) {
    std::string block = Capture();
    ASSERT_LE(block.size(), 5000u);
    received += block;
    ++blocks;
    emptyAfterFeed += block.empty() && fed ? 1 : 0;
  }
  feeder.join();
  std::printf("soak: %.1f MiB in %ld blocks\n", received.size() / 1048576.0,
              blocks);
  ASSERT_EQ(received.size(), total);
  EXPECT_TRUE(received == stream); // not printed: 8 MiB
}

} // namespace
