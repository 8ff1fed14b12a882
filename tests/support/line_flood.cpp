#include "tests/support/line_flood.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <utility>

namespace korvane::testing {

std::string NumberedLine(size_t number, size_t bytes, const std::string& prefix) {
  char digits[16];
  std::snprintf(digits, sizeof digits, "%08zu ", number % 100000000);
  std::string line = prefix + digits;
  if (bytes > line.size() + 1) line.append(bytes - line.size() - 1, 'x');
  line.push_back('\n');
  return line;
}

LineFlood::LineFlood(int fd, size_t lineBytes, std::string prefix)
    : fd_(fd), lineBytes_(lineBytes), prefix_(std::move(prefix)) {
  struct stat st {};
  socket_ = ::fstat(fd, &st) != 0 || S_ISSOCK(st.st_mode);
}

bool LineFlood::SendUntil(size_t lines, std::chrono::milliseconds patience) {
  while (!failed_) {
    if (pending_.empty()) {
      if (sent_ >= lines) return true;
      pending_ = NumberedLine(sent_, lineBytes_, prefix_);
      offset_ = 0;
    }
    const char* data = pending_.data() + offset_;
    const size_t size = pending_.size() - offset_;
    const ssize_t n = socket_ ? ::send(fd_, data, size, MSG_DONTWAIT | MSG_NOSIGNAL) : ::write(fd_, data, size);
    if (n > 0) {
      offset_ += static_cast<size_t>(n);
      if (offset_ == pending_.size()) {
        pending_.clear();
        ++sent_;
      }
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) {
      failed_ = true;
      break;
    }
    pollfd entry{fd_, POLLOUT, 0};
    const int ready = ::poll(&entry, 1, static_cast<int>(patience.count()));
    if (ready == 0) return false;
    if (ready < 0 && errno != EINTR) failed_ = true;
  }
  return false;
}

}  // namespace korvane::testing
