// Real programs as test peers: any command run to completion with a deadline
// (curl, openssl), and lighttpd serving files on 127.0.0.1 with Basic and
// Digest areas and optional TLS. Tests skip when a program is not installed.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace korvane::testing {

/// True when `program` is found on PATH or in /usr/sbin.
bool ProgramAvailable(const std::string& program);

struct ProgramResult {
  int exitCode = -1;   ///< -1 when the program could not run or was killed at its deadline
  std::string output;  ///< standard output
  std::string errors;  ///< standard error
};

/// Runs `args` (args[0] looked up on PATH) with no input; kills it after `timeout`.
ProgramResult RunProgram(const std::vector<std::string>& args,
                         std::chrono::milliseconds timeout = std::chrono::seconds(10));

/// A temporary folder removed with everything in it.
class TemporaryFolder {
 public:
  TemporaryFolder();
  ~TemporaryFolder();
  TemporaryFolder(const TemporaryFolder&) = delete;
  TemporaryFolder& operator=(const TemporaryFolder&) = delete;
  const std::filesystem::path& Path() const { return path_; }
  /// Writes `text` to Path()/name and returns the full path.
  std::filesystem::path Write(const std::string& name, const std::string& text) const;

 private:
  std::filesystem::path path_;
};

/// A self-signed certificate for 127.0.0.1 made by openssl: key and
/// certificate in one PEM file, and the certificate alone for clients to trust.
struct TestCertificate {
  std::filesystem::path pem;
  std::filesystem::path certificate;
};
bool MakeSelfSignedCertificate(const std::filesystem::path& folder, TestCertificate& result);

/// lighttpd on 127.0.0.1 and a free port, serving `files` from its document
/// root. "/basic/..." needs Basic and "/digest/..." Digest authentication of
/// user "device" with password "secret" (realm "kestrel"), as do the
/// protected paths the options add.
class Lighttpd {
 public:
  static constexpr const char* kUser = "device";
  static constexpr const char* kPassword = "secret";

  struct Options {
    std::vector<std::pair<std::string, std::string>> files;  ///< path below the root, content
    const TestCertificate* tls = nullptr;                    ///< serve HTTPS with this certificate
    /// Further paths (prefixes) that need authentication: "basic" or "digest".
    std::vector<std::pair<std::string, std::string>> protectedPaths;
  };

  ~Lighttpd();
  /// Starts and waits until the port answers; false (with Error()) otherwise.
  bool Start(const Options& options);
  void Stop();
  uint16_t Port() const { return port_; }
  const std::string& Error() const { return error_; }
  /// Stops the server (which writes out its access log) and returns the requests it served,
  /// in order, as "<status> <n>" where n counts the requests served before on the same connection.
  std::vector<std::string> StopAndListRequests();

 private:
  TemporaryFolder folder_;
  pid_t pid_ = -1;
  uint16_t port_ = 0;
  std::string error_;
};

}  // namespace korvane::testing
