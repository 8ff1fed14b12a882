// The soak's books must find every fault the soak is there to find: a counted
// message that never came, one that came twice or late, and text that was
// never sent; and must not blame the driver for what it was never promised.
#include "tools/soak/accounting.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

namespace korvane::soak {
namespace {

using std::chrono::milliseconds;

void DeliverRange(Accounting& books, uint64_t connection, uint64_t from, uint64_t to) {
  for (uint64_t sequence = from; sequence < to; ++sequence) books.Delivered(connection, sequence);
}

TEST(SoakAccountingTest, CountsACountedMessageThatNeverCameAsLostAndIsNotDrained) {
  Accounting books;
  const uint64_t connection = books.NewConnection();
  books.Sending(connection, 0, 10, true);
  DeliverRange(books, connection, 0, 4);
  DeliverRange(books, connection, 5, 10);
  EXPECT_FALSE(books.WaitDrained(milliseconds(0)));
  const Tally tally = books.Totals();
  EXPECT_EQ(tally.sentWhileRunning, 10u);
  EXPECT_EQ(tally.delivered, 9u);
  EXPECT_EQ(tally.lost, 1u);
  EXPECT_EQ(tally.outOfOrder, 0u);
  // The tail missing counts too.
  books.Sending(connection, 10, 5, true);
  EXPECT_EQ(books.Totals().lost, 6u);
}

TEST(SoakAccountingTest, TellsALateMessageFromADuplicate) {
  Accounting books;
  const uint64_t connection = books.NewConnection();
  books.Sending(connection, 0, 4, true);
  for (const uint64_t sequence : {0, 2, 1, 1, 3, 3}) books.Delivered(connection, sequence);
  const Tally tally = books.Totals();
  EXPECT_EQ(tally.outOfOrder, 1u);
  EXPECT_EQ(tally.duplicated, 2u);
  EXPECT_EQ(tally.lost, 0u);
  EXPECT_TRUE(books.WaitDrained(milliseconds(0)));
}

TEST(SoakAccountingTest, MissingUncountedMessagesAreNoLoss) {
  Accounting books;
  const uint64_t connection = books.NewConnection();
  books.Sending(connection, 0, 10, true);
  // The batch after it did not go out whole, and the next was sent while the channel stopped.
  books.Sending(connection, 10, 10, true);
  books.Unsent(connection, 10);
  books.Sending(connection, 20, 10, false);
  // A counted batch after an uncounted one cannot count: it would leave a gap.
  books.Sending(connection, 30, 10, true);
  DeliverRange(books, connection, 0, 10);
  books.Delivered(connection, 25);
  EXPECT_TRUE(books.WaitDrained(milliseconds(0)));
  const Tally tally = books.Totals();
  EXPECT_EQ(tally.sentWhileRunning, 10u);
  EXPECT_EQ(tally.sentOther, 30u);
  EXPECT_EQ(tally.lost, 0u);
  EXPECT_EQ(tally.outOfOrder, 0u);
}

TEST(SoakAccountingTest, TextNeverSentIsGarbled) {
  Accounting books;
  const uint64_t connection = books.NewConnection();
  books.Sending(connection, 0, 2, true);
  books.Delivered(connection + 1, 0);  // a connection that does not exist
  books.Delivered(connection, 2);      // a sequence not sent yet
  books.Garbled("half a line");
  const Tally tally = books.Totals();
  EXPECT_EQ(tally.garbled, 3u);
  EXPECT_EQ(tally.delivered, 0u);
  EXPECT_EQ(books.GarbledSamples(), std::vector<std::string>{"half a line"});
}

TEST(SoakAccountingTest, WaitDrainedWakesWhenTheLastCountedMessageArrives) {
  Accounting books;
  const uint64_t connection = books.NewConnection();
  books.Sending(connection, 0, 3, true);
  std::thread driver([&] { DeliverRange(books, connection, 0, 3); });
  EXPECT_TRUE(books.WaitDrained(milliseconds(5000)));
  driver.join();
}

TEST(SoakRunWindowTest, AConnectionThatOutlivedAClosedWindowNeverCountsAgain) {
  RunWindow window;
  EXPECT_FALSE(window.Enter(window.Generation()).counts);  // closed until the channel starts
  window.Open();
  const uint64_t before = window.Generation();
  EXPECT_TRUE(window.Enter(before).counts);
  window.Close();
  EXPECT_FALSE(window.Enter(before).counts);
  window.Open();
  EXPECT_FALSE(window.Enter(before).counts);
  EXPECT_TRUE(window.Enter(window.Generation()).counts);
}

TEST(SoakRunWindowTest, CloseWaitsForTheBatchBeingSent) {
  RunWindow window;
  window.Open();
  std::atomic<bool> closed{false};
  std::thread closer;
  {
    const RunWindow::Pass pass = window.Enter(window.Generation());
    ASSERT_TRUE(pass.counts);
    closer = std::thread([&] {
      window.Close();
      closed = true;
    });
    // Once the close has begun, it must wait while the batch is still going out.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(2);
    while (window.IsOpen() && std::chrono::steady_clock::now() < deadline) std::this_thread::yield();
    EXPECT_FALSE(window.IsOpen());
    for (int i = 0; i < 1000; ++i) std::this_thread::yield();
    EXPECT_FALSE(closed.load());
  }
  closer.join();
  EXPECT_TRUE(closed.load());
}

}  // namespace
}  // namespace korvane::soak
