#include "tests/support/gst_rtsp_server.h"

#include <unistd.h>

#include <cstdlib>

namespace korvane::testing {
namespace {

// The system's interpreter: its GObject bindings come with the Debian packages.
constexpr const char* kPython = "/usr/bin/python3";

size_t Count(const std::string& text, const std::string& fragment) {
  size_t count = 0;
  for (size_t pos = text.find(fragment); pos != std::string::npos; pos = text.find(fragment, pos + 1)) ++count;
  return count;
}

}  // namespace

GstRtspServer::GstRtspServer(std::vector<std::string> options) : options_(std::move(options)) {}

bool GstRtspServer::Start(std::chrono::milliseconds timeout) {
  if (::access(kPython, X_OK) != 0) {
    error_ = std::string(kPython) + " is not installed";
    return false;
  }
  std::vector<std::string> argv{kPython, KESTREL_SOURCE_DIR "/tests/support/rtsp_metadata_server.py", "--watch-stdin",
                                "--lifetime", "60"};
  argv.insert(argv.end(), options_.begin(), options_.end());
  process_ = std::make_unique<ChildProcess>(argv);
  if (!process_->Started()) {
    error_ = "cannot start " + argv[1];
    return false;
  }
  const bool listening = process_->ReadUntil(
      [](const std::string& out) {
        const size_t at = out.find("PORT ");
        return at != std::string::npos && out.find('\n', at) != std::string::npos;
      },
      timeout);
  if (!listening) {
    process_->Finish(std::chrono::milliseconds(500));
    error_ = "the server did not start: " + process_->Out() + process_->Err();
    return false;
  }
  const std::string& out = process_->Out();
  port_ = static_cast<uint16_t>(std::atoi(out.c_str() + out.find("PORT ") + 5));
  return port_ != 0;
}

bool GstRtspServer::WaitForOutput(const std::string& fragment, size_t count, std::chrono::milliseconds timeout) {
  return process_ &&
         process_->ReadUntil([&](const std::string& out) { return Count(out, fragment) >= count; }, timeout);
}

std::vector<std::string> GstRtspServer::Lines(const std::string& prefix) {
  std::vector<std::string> lines;
  if (!process_) return lines;
  for (const std::string& line : process_->OutLines()) {
    if (line.rfind(prefix, 0) == 0) lines.push_back(line);
  }
  return lines;
}

}  // namespace korvane::testing
