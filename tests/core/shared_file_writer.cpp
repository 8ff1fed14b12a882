// A second process for the shared-file tests: writes numbered lines to the
// debug files, or registers and removes proxy destinations, in the host
// directory named by KESTREL_HOST_DIR, starting once the file "go" appears
// there so that every writer runs at the same time.
//
//   shared_file_writer log WRITER COUNT    COUNT log lines and packet records
//   shared_file_writer proxy WRITER COUNT  COUNT destinations added, the odd ones removed again
//
// Exit status: 0 done, 1 usage, 2 no "go" within 10 s, 3 a registration failed.
#include <chrono>
#include <filesystem>
#include <string>
#include <thread>

#include "driver/channels/proxy_config_provider.h"
#include "driver/support/debug_logger.h"
#include "driver/support/host_directory.h"
#include "driver/support/string_utils.h"

namespace {

using korvane::Format;

bool WaitForGo() {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  const std::filesystem::path go = std::filesystem::path(korvane::HostDirectory()) / "go";
  while (!std::filesystem::exists(go)) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

int WriteLog(int writer, int count) {
  korvane::CDebugLogger logger(nullptr, "");
  logger.Configure(3, true, "", "");
  // Long lines, so that the writers together fill the log past its rotation size.
  const std::string padding(160, 'x');
  for (int i = 0; i < count; ++i) {
    logger.Write(Format("writer %d line %06d %s", writer, i, padding.c_str()), 1, 0);
    const std::string packet = Format("writer %d packet %06d", writer, i);
    logger.WritePacket(packet.data(), static_cast<int32_t>(packet.size()));
  }
  return 0;
}

// Every writer registers destinations of one shared device, so that the
// device element is created, extended and shrunk by both processes.
int WriteProxy(int writer, int count) {
  korvane::CProxyConfigProvider provider("KSLProxyConfig.xml");
  korvane::ProxySettings entry;
  entry.service = "AgentViProxy";
  entry.address = "10.0.0.5";
  entry.port = 8080;
  entry.user = "admin";
  entry.password = "secret";
  for (int i = 0; i < count; ++i) {
    entry.incomingPort = static_cast<uint16_t>(20000 + writer * 1000 + i);
    if (!provider.AddProxy(entry)) return 3;
    if (i % 2 == 1 && !provider.RemoveProxy(entry)) return 3;
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 4) return 1;
  const std::string mode = argv[1];
  const int writer = std::stoi(argv[2]);
  const int count = std::stoi(argv[3]);
  if (mode != "log" && mode != "proxy") return 1;
  if (!WaitForGo()) return 2;
  return mode == "log" ? WriteLog(writer, count) : WriteProxy(writer, count);
}
