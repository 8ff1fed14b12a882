// The soak's view of the process and of the kernel's UDP drops, read from
// /proc: a misread column would hide a leak or blame the driver for a loss
// the kernel made.
#include "tools/soak/process_usage.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <string>
#include <thread>

#include "tests/support/socket_peers.h"

namespace korvane::soak {
namespace {

TEST(SoakProcessUsageTest, CountsADescriptorAndAThreadMore) {
  const Usage before = CurrentUsage();
  EXPECT_GT(before.rssKb, 0);
  const int fd = ::dup(STDERR_FILENO);
  std::atomic<bool> stop{false};
  std::thread thread([&] {
    while (!stop) std::this_thread::yield();
  });
  const Usage during = CurrentUsage();
  stop = true;
  thread.join();
  ::close(fd);
  EXPECT_EQ(during.descriptors, before.descriptors + 1);
  EXPECT_EQ(during.threads, before.threads + 1);
}

TEST(SoakProcessUsageTest, SeesTheDatagramsTheKernelDroppedForAFullSocket) {
  // A receiver with the smallest buffer that nobody reads.
  const int receiver = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  const int small = 1;
  ::setsockopt(receiver, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  ASSERT_EQ(::bind(receiver, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  ASSERT_EQ(::getsockname(receiver, reinterpret_cast<sockaddr*>(&address), &length), 0);
  const uint16_t port = ntohs(address.sin_port);

  UdpDropCounter counter(port);
  counter.Sample();
  EXPECT_EQ(counter.Total(), 0u);
  testing::TestUdpSocket sender;
  ASSERT_TRUE(sender.Bind());
  const std::string datagram(1000, 'x');
  for (int i = 0; i < 200; ++i) sender.SendTo(port, datagram);
  counter.Sample();
  const uint64_t dropped = counter.Total();
  EXPECT_GT(dropped, 100u);
  EXPECT_LE(dropped, 200u);
  // Drops of a socket that is gone still count.
  ::close(receiver);
  counter.Sample();
  EXPECT_EQ(counter.Total(), dropped);
  EXPECT_TRUE(UdpDrops(port).empty());
}

}  // namespace
}  // namespace korvane::soak
