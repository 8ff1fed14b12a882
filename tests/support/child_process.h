// Runs a program as a child process with its standard output and error
// captured, every wait bounded, and a kill when a deadline passes. Its
// standard input is a pipe that closes when the object goes, so a peer that
// watches it ends with the test even when the test program crashes.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

namespace korvane::testing {

class ChildProcess {
 public:
  using Clock = std::chrono::steady_clock;

  /// Starts `argv[0]` (a path) with the arguments that follow it.
  explicit ChildProcess(std::vector<std::string> all) {
    int in[2];
    int out[2];
    int err[2];
    if (pipe2(in, O_CLOEXEC) != 0) return;
    if (pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0) {
      close(in[0]);
      close(in[1]);
      return;
    }
    // argv is built before fork: the child only calls async-signal-safe functions.
    std::vector<char*> argv;
    for (std::string& arg : all) argv.push_back(arg.data());
    argv.push_back(nullptr);
    pid_ = fork();
    if (pid_ == 0) {
      dup2(in[0], STDIN_FILENO);
      dup2(out[1], STDOUT_FILENO);
      dup2(err[1], STDERR_FILENO);
      execv(argv[0], argv.data());
      _exit(127);
    }
    close(in[0]);
    close(out[1]);
    close(err[1]);
    in_ = in[1];
    out_ = out[0];
    err_ = err[0];
  }

  ~ChildProcess() {
    if (in_ >= 0) close(in_);
    if (pid_ > 0 && !reaped_) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
    if (out_ >= 0) close(out_);
    if (err_ >= 0) close(err_);
  }

  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  bool Started() const { return pid_ > 0; }

  /// Reads output until `done(stdout so far)` holds or `timeout` passes.
  bool ReadUntil(const std::function<bool(const std::string&)>& done,
                 std::chrono::milliseconds timeout = std::chrono::seconds(3)) {
    const auto deadline = Clock::now() + timeout;
    while (!done(out_text_)) {
      if (!ReadSome(deadline)) return done(out_text_);
    }
    return true;
  }

  /// Reads until stdout holds `fragment`.
  bool WaitForOutput(const std::string& fragment, std::chrono::milliseconds timeout = std::chrono::seconds(3)) {
    return ReadUntil([&](const std::string& text) { return text.find(fragment) != std::string::npos; }, timeout);
  }

  void Signal(int signal_number) const {
    if (pid_ > 0 && !reaped_) kill(pid_, signal_number);
  }

  /// Reads both streams to their end and reaps the child: its exit status,
  /// 128 + signal when a signal ended it, or -1 when it had to be killed
  /// after `timeout`.
  int Finish(std::chrono::milliseconds timeout = std::chrono::seconds(5)) {
    const auto deadline = Clock::now() + timeout;
    while (ReadSome(deadline)) {
    }
    int status = 0;
    bool killed = false;
    while (waitpid(pid_, &status, WNOHANG) == 0) {
      if (Clock::now() >= deadline) {
        kill(pid_, SIGKILL);
        waitpid(pid_, &status, 0);
        killed = true;
        break;
      }
      poll(nullptr, 0, 10);
    }
    reaped_ = true;
    if (killed) return -1;
    if (WIFEXITED(status)) return WEXITSTATUS(status);
    return WIFSIGNALED(status) ? 128 + WTERMSIG(status) : -1;
  }

  const std::string& Out() const { return out_text_; }
  const std::string& Err() const { return err_text_; }

  std::vector<std::string> OutLines() const {
    std::vector<std::string> lines;
    std::istringstream stream(out_text_);
    for (std::string line; std::getline(stream, line);) lines.push_back(line);
    return lines;
  }

 private:
  // One poll round over the open streams; false at the deadline or when both ended.
  bool ReadSome(Clock::time_point deadline) {
    if (out_ < 0 && err_ < 0) return false;
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    if (left <= 0) return false;
    pollfd fds[2] = {{out_, POLLIN, 0}, {err_, POLLIN, 0}};
    if (poll(fds, 2, static_cast<int>(left)) <= 0) return Clock::now() < deadline;
    Drain(fds[0], out_, out_text_);
    Drain(fds[1], err_, err_text_);
    return true;
  }

  static void Drain(const pollfd& fd, int& handle, std::string& text) {
    if (handle < 0 || fd.revents == 0) return;
    char buffer[4096];
    const ssize_t n = read(handle, buffer, sizeof buffer);
    if (n > 0) {
      text.append(buffer, static_cast<size_t>(n));
    } else {
      close(handle);
      handle = -1;
    }
  }

  pid_t pid_ = -1;
  bool reaped_ = false;
  int in_ = -1;
  int out_ = -1;
  int err_ = -1;
  std::string out_text_;
  std::string err_text_;
};

}  // namespace korvane::testing
