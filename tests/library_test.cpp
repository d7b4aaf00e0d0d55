// SPDX-License-Identifier: MIT
// The library as a C++ host links it, against a pseudo-terminal playing the
// receiver: the line it sets up and the capture files it leaves. Names and
// capture paths that fail are in faults_test.
#include <thread>

#include <gtest/gtest.h>

#include "library_host.h"

namespace {

using Library = LibraryHost;

TEST_F(Library, OpenSetsTheLineTo4800EightNoneOneRawWithXonXoff) {
  Open();
  termios line = receiver.LineSettings();
  EXPECT_EQ(cfgetispeed(&line), B4800);
  EXPECT_EQ(cfgetospeed(&line), B4800);
  EXPECT_EQ(line.c_cflag & CSIZE, tcflag_t{CS8});
  EXPECT_EQ(line.c_cflag & (PARENB | CSTOPB | CRTSCTS | HUPCL), 0u);
  EXPECT_EQ(line.c_cflag & (CLOCAL | CREAD), tcflag_t{CLOCAL | CREAD});
  EXPECT_EQ(line.c_iflag & (IXON | IXOFF | IXANY), tcflag_t{IXON | IXOFF});
  EXPECT_EQ(line.c_iflag & (ICRNL | INLCR | IGNCR | ISTRIP | INPCK), 0u);
  EXPECT_EQ(line.c_lflag & (ICANON | ECHO | ISIG | IEXTEN), 0u);
  EXPECT_EQ(line.c_oflag & OPOST, 0u);
}

TEST_F(Library, EveryByteReachesTheFileUnchangedButTheFlowControlPair) {
  Open();
  SendAndSettle(AllPassingBytes());
  EXPECT_EQ(Capture(), AllPassingBytes());

  // XOFF and XON belong to the line, as on the device: they never arrive.
  receiver.Send("A\x13"
                "B\x11"
                "C");
  ASSERT_TRUE(receiver.WaitUntilHolding(3));
  EXPECT_EQ(Capture(), "ABC");
}

TEST_F(Library, AShortBlockAfterALongOneLeavesExactlyTheShortOne) {
  Open();
  SendAndSettle(std::string(3000, 'L'));
  EXPECT_EQ(Capture(), std::string(3000, 'L'));
  SendAndSettle("$GPVTG\r\n");
  EXPECT_EQ(Capture(), "$GPVTG\r\n");
}

TEST_F(Library, MoreThanABlockWaitingComesOutOverTwoCallsNothingLost) {
  Open();
  std::string sent;
  for (int i = 0; sent.size() < 7000; ++i) {
    sent += "$GPGSV," + std::to_string(i) + "\r\n";
  }
  receiver.Send(sent);
  ASSERT_TRUE(receiver.WaitUntilHolding(4000));
  std::string first = Capture("1");
  std::string second = Capture("2");
  EXPECT_EQ(first.size(), 5000u);
  EXPECT_EQ(first + second, sent);
}

TEST_F(Library, NothingArrivingEmptiesAnEarlierFile) {
  Open();
  WriteWhole(dir.File("fix.nmea"), "old block");
  EXPECT_EQ(Capture(), "");
  EXPECT_TRUE(Exists(dir.File("fix.nmea")));
}

TEST_F(Library, OpeningTheSamePortAgainKeepsTheReceiver) {
  Open();
  Open(); // the first handle is closed, so the port is free to take again
  SendAndSettle("$GPRMC\r\n");
  EXPECT_EQ(Capture(), "$GPRMC\r\n");
}

TEST_F(Library, AnUnpluggedReceiverEndsTheReadWithWhatArrived) {
  Open();
  SendAndSettle("$GPGGA,1\r\n");
  std::string during;
  std::thread host([&] { during = Capture("during"); });
  ASSERT_TRUE(receiver.WaitUntilTaken());
  receiver.Unplug();
  host.join();
  EXPECT_EQ(during, "$GPGGA,1\r\n");

  // The next call waits out the total time-out (counted in whole
  // milliseconds), as on a silent line.
  auto start = Clock::now();
  EXPECT_EQ(Capture("after"), "");
  EXPECT_GE(SecondsSince(start), 1.99);
}

TEST_F(Library, TheNamedItemsStandApartFromTheCapture) {
  EXPECT_EQ(fnTolvaneGPS(), 42);
  EXPECT_EQ(fnTolvaneGPS(), 42);
  nTolvaneGPS = 5;
  CTolvaneGPS first, second;
  CTolvaneGPS &assigned = (first = second);
  EXPECT_EQ(&assigned, &first);
  Open();
  SendAndSettle("$GPGLL\r\n");
  EXPECT_EQ(Capture(), "$GPGLL\r\n");
  EXPECT_EQ(nTolvaneGPS, 5);
}

} // namespace
