// GStreamer's RTSP server (tests/support/rtsp_metadata_server.py under the
// system's python3 with its GObject bindings) as a child process on
// 127.0.0.1 with a free port: a real camera-side implementation.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "tests/support/child_process.h"

namespace korvane::testing {

class GstRtspServer {
 public:
  /// `options` are the script's options ("--auth", "digest", ...).
  explicit GstRtspServer(std::vector<std::string> options);

  /// Waits for the server to listen. False when it did not start; Error() says why.
  bool Start(std::chrono::milliseconds timeout = std::chrono::seconds(10));
  uint16_t Port() const { return port_; }
  const std::string& Error() const { return error_; }
  /// Everything it printed so far (standard output, then standard error).
  std::string Output() const { return process_ ? process_->Out() + process_->Err() : std::string(); }

  /// Waits until its output holds `fragment` at least `count` times.
  bool WaitForOutput(const std::string& fragment, size_t count = 1,
                     std::chrono::milliseconds timeout = std::chrono::seconds(5));
  /// Output lines read so far (WaitForOutput reads) that start with `prefix`
  /// (requests: "REQUEST SETUP", our receiver reports: "RTCP 81c9").
  std::vector<std::string> Lines(const std::string& prefix);

 private:
  std::vector<std::string> options_;
  std::unique_ptr<ChildProcess> process_;
  uint16_t port_ = 0;
  std::string error_;
};

}  // namespace korvane::testing
