#include "driver/support/replacement_file.h"

#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

namespace korvane {
namespace {

std::string Reason(const char* step, int error) { return std::string(step) + ": " + std::strerror(error); }

// Closes the descriptor when it goes; Close() reports the result instead.
class Descriptor {
 public:
  explicit Descriptor(int fd) : fd_(fd) {}
  ~Descriptor() {
    if (fd_ >= 0) ::close(fd_);
  }
  Descriptor(const Descriptor&) = delete;
  Descriptor& operator=(const Descriptor&) = delete;
  int Get() const { return fd_; }
  bool Close() {
    const int fd = fd_;
    fd_ = -1;
    return ::close(fd) == 0;
  }

 private:
  int fd_;
};

bool ReadAll(int fd, std::string& out) {
  char buffer[16384];
  for (;;) {
    const ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n == 0) return true;
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    out.append(buffer, static_cast<size_t>(n));
  }
}

bool WriteAll(int fd, const std::string& data) {
  size_t done = 0;
  while (done < data.size()) {
    const ssize_t n = ::write(fd, data.data() + done, data.size() - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    done += static_cast<size_t>(n);
  }
  return true;
}

}  // namespace

CReplacementFile::CReplacementFile(std::string directory, std::string name)
    : directory_(std::move(directory)), name_(std::move(name)) {}

CReplacementFile::~CReplacementFile() { Discard(); }

void CReplacementFile::Discard() {
  if (pending_) ::unlink((directory_ + temporaryName_).c_str());
  pending_ = false;
}

bool CReplacementFile::Begin(std::string& error) {
  Discard();
  Descriptor source(::open((directory_ + name_).c_str(), O_RDONLY | O_CLOEXEC));
  struct stat st {};
  if (source.Get() < 0 || ::fstat(source.Get(), &st) != 0) {
    error = Reason("open", errno);
    return false;
  }
  if (!S_ISREG(st.st_mode)) {
    error = "not a regular file";
    return false;
  }
  std::string content;
  if (!ReadAll(source.Get(), content)) {
    error = Reason("read", errno);
    return false;
  }

  std::string pattern = directory_ + name_ + ".XXXXXX";
  Descriptor target(::mkostemp(pattern.data(), O_CLOEXEC));
  if (target.Get() < 0) {
    error = Reason("create temporary file", errno);
    return false;
  }
  temporaryName_ = pattern.substr(directory_.size());
  pending_ = true;
  const char* step = nullptr;
  if (::fchmod(target.Get(), st.st_mode & 07777) != 0) {
    step = "set permissions";
  } else if (!WriteAll(target.Get(), content)) {
    step = "write";
  } else if (!target.Close()) {
    step = "close";
  }
  if (step != nullptr) {
    error = Reason(step, errno);
    Discard();
    return false;
  }
  return true;
}

bool CReplacementFile::Commit(std::string& error) {
  if (!pending_) {
    error = "nothing to commit";
    return false;
  }
  const std::string temporary = directory_ + temporaryName_;
  {
    // Write-back errors (a full disk with delayed allocation) surface here.
    Descriptor file(::open(temporary.c_str(), O_RDONLY | O_CLOEXEC));
    if (file.Get() < 0 || ::fsync(file.Get()) != 0) {
      error = Reason("flush", errno);
      Discard();
      return false;
    }
  }
  if (::rename(temporary.c_str(), (directory_ + name_).c_str()) != 0) {
    error = Reason("rename", errno);
    Discard();
    return false;
  }
  pending_ = false;
  // Makes the rename itself durable; the new content is in place either way.
  Descriptor directory(::open(directory_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (directory.Get() >= 0) ::fsync(directory.Get());
  return true;
}

}  // namespace korvane
