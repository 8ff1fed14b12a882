#include "tests/support/program_peers.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <fstream>
#include <sstream>
#include <system_error>
#include <thread>

#include "driver/support/string_utils.h"
#include "tests/support/socket_peers.h"

extern char** environ;

namespace korvane::testing {
namespace {

using SteadyClock = std::chrono::steady_clock;

// Waits for the child with a deadline; kills it when the deadline passes.
int Reap(pid_t pid, SteadyClock::time_point deadline) {
  int status = 0;
  while (true) {
    const pid_t done = ::waitpid(pid, &status, WNOHANG);
    if (done == pid) return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    if (done < 0 && errno != EINTR) return -1;
    if (SteadyClock::now() >= deadline) {
      ::kill(pid, SIGKILL);
      ::waitpid(pid, &status, 0);
      return -1;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
}

pid_t Spawn(const std::vector<std::string>& args, int out, int err) {
  std::vector<std::string> copy = args;
  std::vector<char*> argv;
  for (std::string& arg : copy) argv.push_back(arg.data());
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_adddup2(&actions, out, STDOUT_FILENO);
  posix_spawn_file_actions_adddup2(&actions, err, STDERR_FILENO);
  pid_t pid = -1;
  if (posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ) != 0) pid = -1;
  posix_spawn_file_actions_destroy(&actions);
  return pid;
}

}  // namespace

bool ProgramAvailable(const std::string& program) {
  const char* path = getenv("PATH");
  std::string dirs = std::string(path != nullptr ? path : "/usr/bin:/bin") + ":/usr/sbin:/sbin";
  for (const auto& dir : Split(dirs, ":")) {
    if (::access((dir + "/" + program).c_str(), X_OK) == 0) return true;
  }
  return false;
}

ProgramResult RunProgram(const std::vector<std::string>& args, std::chrono::milliseconds timeout) {
  ProgramResult result;
  int out[2];
  int err[2];
  if (::pipe2(out, O_CLOEXEC) != 0) return result;
  if (::pipe2(err, O_CLOEXEC) != 0) {
    ::close(out[0]);
    ::close(out[1]);
    return result;
  }
  const pid_t pid = Spawn(args, out[1], err[1]);
  ::close(out[1]);
  ::close(err[1]);
  const auto deadline = SteadyClock::now() + timeout;
  if (pid > 0) {
    pollfd fds[2] = {{out[0], POLLIN, 0}, {err[0], POLLIN, 0}};
    std::string* targets[2] = {&result.output, &result.errors};
    int open = 2;
    while (open > 0) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - SteadyClock::now());
      if (left.count() <= 0 || ::poll(fds, 2, static_cast<int>(left.count())) <= 0) break;
      for (int i = 0; i < 2; ++i) {
        if (fds[i].fd < 0 || fds[i].revents == 0) continue;
        char buffer[4096];
        const ssize_t n = ::read(fds[i].fd, buffer, sizeof buffer);
        if (n > 0) {
          targets[i]->append(buffer, static_cast<size_t>(n));
        } else {
          fds[i].fd = -1;
          --open;
        }
      }
    }
    result.exitCode = Reap(pid, deadline);
  }
  ::close(out[0]);
  ::close(err[0]);
  return result;
}

TemporaryFolder::TemporaryFolder() {
  std::string pattern = (std::filesystem::temp_directory_path() / "kestrel_peer_XXXXXX").string();
  if (::mkdtemp(pattern.data()) != nullptr) path_ = pattern;
}

TemporaryFolder::~TemporaryFolder() {
  std::error_code ignored;
  if (!path_.empty()) std::filesystem::remove_all(path_, ignored);
}

std::filesystem::path TemporaryFolder::Write(const std::string& name, const std::string& text) const {
  const std::filesystem::path file = path_ / name;
  std::filesystem::create_directories(file.parent_path());
  std::ofstream(file, std::ios::binary) << text;
  return file;
}

bool MakeSelfSignedCertificate(const std::filesystem::path& folder, TestCertificate& result) {
  const auto key = folder / "key.pem";
  result.certificate = folder / "certificate.pem";
  result.pem = folder / "server.pem";
  const auto made =
      RunProgram({"openssl", "req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1", "-nodes",
                  "-days", "1", "-subj", "/CN=127.0.0.1", "-addext", "subjectAltName=IP:127.0.0.1", "-keyout",
                  key.string(), "-out", result.certificate.string()});
  if (made.exitCode != 0) return false;
  std::ifstream keyIn(key), certificateIn(result.certificate);
  std::ostringstream both;
  both << keyIn.rdbuf() << certificateIn.rdbuf();
  std::ofstream(result.pem) << both.str();
  return true;
}

Lighttpd::~Lighttpd() { Stop(); }

bool Lighttpd::Start(const Options& options) {
  if (!ProgramAvailable("lighttpd")) {
    error_ = "lighttpd is not installed";
    return false;
  }
  const auto& dir = folder_.Path();
  for (const auto& [path, content] : options.files) folder_.Write("www/" + path, content);
  std::filesystem::create_directories(dir / "www");
  const std::string realm = "kestrel";
  folder_.Write("htdigest", std::string(kUser) + ":" + realm + ":" +
                                Md5Hex(std::string(kUser) + ":" + realm + ":" + kPassword) + "\n");
  // A free port can be taken between the probe and lighttpd's bind: try a few.
  for (int attempt = 0; attempt < 5; ++attempt) {
    port_ = UnusedTcpPort();
    std::ostringstream conf;
    conf << "server.document-root = \"" << (dir / "www").string() << "\"\n"
         << "server.bind = \"127.0.0.1\"\nserver.port = " << port_ << "\n"
         << "server.errorlog = \"" << (dir / "error.log").string() << "\"\n"
         << "server.modules = (\"mod_auth\", \"mod_authn_file\", \"mod_accesslog\""
         << (options.tls != nullptr ? ", \"mod_openssl\"" : "") << ")\n"
         << "accesslog.filename = \"" << (dir / "access.log").string() << "\"\n"
         << "accesslog.format = \"%s %k\"\n"
         << "mimetype.assign = (\"\" => \"text/plain\")\n"
         << "auth.backend = \"htdigest\"\n"
         << "auth.backend.htdigest.userfile = \"" << (dir / "htdigest").string() << "\"\n"
         << "auth.require = (\"/basic/\" => (\"method\" => \"basic\", \"realm\" => \"" << realm
         << "\", \"require\" => \"valid-user\"),\n"
         << "                \"/digest/\" => (\"method\" => \"digest\", \"realm\" => \"" << realm
         << "\", \"require\" => \"valid-user\")";
    for (const auto& [path, method] : options.protectedPaths) {
      conf << ",\n                \"" << path << "\" => (\"method\" => \"" << method << "\", \"realm\" => \"" << realm
           << "\", \"require\" => \"valid-user\")";
    }
    conf << ")\n";
    if (options.tls != nullptr) {
      conf << "ssl.engine = \"enable\"\nssl.pemfile = \"" << options.tls->pem.string() << "\"\n";
    }
    const auto confFile = folder_.Write("lighttpd.conf", conf.str());
    const int log = ::open((dir / "stderr.log").c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
    pid_ = Spawn({"lighttpd", "-D", "-f", confFile.string()}, log, log);
    ::close(log);
    if (pid_ <= 0) break;
    const auto deadline = SteadyClock::now() + std::chrono::seconds(5);
    while (SteadyClock::now() < deadline) {
      if (::waitpid(pid_, nullptr, WNOHANG) == pid_) {
        pid_ = -1;
        break;
      }
      if (TestStream::Connect(port_, std::chrono::milliseconds(200)) != nullptr) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    Stop();
  }
  std::ifstream errors(dir / "stderr.log");
  std::ostringstream text;
  text << errors.rdbuf();
  error_ = "lighttpd did not start: " + text.str();
  return false;
}

void Lighttpd::Stop() {
  if (pid_ <= 0) return;
  ::kill(pid_, SIGTERM);
  Reap(pid_, SteadyClock::now() + std::chrono::seconds(3));
  pid_ = -1;
}

std::vector<std::string> Lighttpd::StopAndListRequests() {
  Stop();
  std::vector<std::string> requests;
  std::ifstream log(folder_.Path() / "access.log");
  for (std::string line; std::getline(log, line);) requests.push_back(line);
  return requests;
}

}  // namespace korvane::testing
