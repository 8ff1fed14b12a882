#include "tests/support/pty_peers.h"

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <utility>
#include <vector>

extern char** environ;

namespace korvane::testing {
namespace {

using Clock = std::chrono::steady_clock;

int MillisecondsUntil(Clock::time_point deadline) {
  const auto left = std::chrono::duration_cast<milliseconds>(deadline - Clock::now()).count();
  return left > 0 ? static_cast<int>(left) : 0;
}

bool WriteAll(int fd, std::string_view bytes, milliseconds timeout) {
  const auto deadline = Clock::now() + timeout;
  while (!bytes.empty()) {
    const ssize_t n = ::write(fd, bytes.data(), bytes.size());
    if (n > 0) {
      bytes.remove_prefix(static_cast<size_t>(n));
      continue;
    }
    if (n < 0 && errno != EAGAIN && errno != EINTR) return false;
    // A pseudo-terminal whose other side is closed may take nothing and still poll writable.
    if (Clock::now() >= deadline) return false;
    pollfd room{fd, POLLOUT, 0};
    if (::poll(&room, 1, std::max(1, MillisecondsUntil(deadline))) <= 0) return false;
  }
  return true;
}

bool Exists(const std::string& path) {
  struct stat info {};
  return ::stat(path.c_str(), &info) == 0;
}

}  // namespace

TestPty::TestPty() {
  int device = -1;
  char name[128] = {};
  if (::openpty(&fd_, &device, name, nullptr, nullptr) != 0) return;
  // Only the channel holds the device side, as it would hold a real port.
  ::close(device);
  ::fcntl(fd_, F_SETFL, ::fcntl(fd_, F_GETFL) | O_NONBLOCK);
  ::fcntl(fd_, F_SETFD, FD_CLOEXEC);
  path_ = name;
}

TestPty::~TestPty() { Close(); }

bool TestPty::Write(std::string_view bytes, milliseconds timeout) { return fd_ >= 0 && WriteAll(fd_, bytes, timeout); }

bool TestPty::Settings(termios& settings) const { return fd_ >= 0 && ::tcgetattr(fd_, &settings) == 0; }

void TestPty::Close() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
}

SocatPtyPair::SocatPtyPair(std::string device, std::string peer) : device_(std::move(device)), peer_(std::move(peer)) {}

SocatPtyPair::~SocatPtyPair() { Stop(); }

bool SocatPtyPair::Available() { return std::system("command -v socat >/dev/null 2>&1") == 0; }

bool SocatPtyPair::Start(milliseconds timeout) {
  Stop();
  std::vector<std::string> args = {"socat", "pty,raw,echo=0,link=" + device_, "pty,raw,echo=0,link=" + peer_};
  std::vector<char*> argv;
  for (std::string& arg : args) argv.push_back(arg.data());
  argv.push_back(nullptr);
  if (::posix_spawnp(&pid_, "socat", nullptr, nullptr, argv.data(), environ) != 0) {
    pid_ = -1;
    return false;
  }
  const auto deadline = Clock::now() + timeout;
  while (!(Exists(device_) && Exists(peer_))) {
    if (Clock::now() >= deadline) return false;
    ::poll(nullptr, 0, 5);
  }
  peerFd_ = ::open(peer_.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  return peerFd_ >= 0;
}

bool SocatPtyPair::Write(std::string_view bytes, milliseconds timeout) {
  return peerFd_ >= 0 && WriteAll(peerFd_, bytes, timeout);
}

void SocatPtyPair::Stop() {
  if (peerFd_ >= 0) ::close(peerFd_);
  peerFd_ = -1;
  if (pid_ <= 0) return;
  ::kill(pid_, SIGTERM);
  const auto deadline = Clock::now() + milliseconds(2000);
  while (::waitpid(pid_, nullptr, WNOHANG) == 0) {
    if (Clock::now() >= deadline) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, nullptr, 0);
      break;
    }
    ::poll(nullptr, 0, 5);
  }
  pid_ = -1;
  // socat removes its links when it ends; a killed one may not have.
  ::unlink(device_.c_str());
  ::unlink(peer_.c_str());
}

}  // namespace korvane::testing
