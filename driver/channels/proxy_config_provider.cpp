#include "driver/channels/proxy_config_provider.h"

#include <string_view>
#include <vector>

#include "driver/support/mutex.h"
#include "driver/support/xml_parser.h"

namespace korvane {
namespace {

constexpr uint32_t kMutexWaitMs = 10000;
constexpr const char* kConfiguration = "root/ProxyConfiguration";

// The service name becomes an element name and part of XPath expressions:
// only plain XML names are accepted.
bool IsPlainName(std::string_view name) {
  if (name.empty()) return false;
  for (size_t i = 0; i < name.size(); ++i) {
    const char c = name[i];
    const bool letter = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '_';
    const bool other = (c >= '0' && c <= '9') || c == '-' || c == '.';
    if (!letter && (i == 0 || !other)) return false;
  }
  return true;
}

std::string DevicesPath(const ProxySettings& entry) { return std::string(kConfiguration) + "/" + entry.service; }

std::string DestinationPath(const std::string& device, int32_t port) {
  return device + "/Destination[@port=\"" + std::to_string(port) + "\"]";
}

// Holds the named mutex for one read-modify-write of the file.
class MutexHold {
 public:
  explicit MutexHold(CMutex& mutex) : mutex_(mutex), owned_(Acquired(mutex.Lock(kMutexWaitMs))) {}
  ~MutexHold() {
    if (owned_) mutex_.Unlock();
  }
  MutexHold(const MutexHold&) = delete;
  MutexHold& operator=(const MutexHold&) = delete;

 private:
  CMutex& mutex_;
  const bool owned_;
};

}  // namespace

CProxyConfigProvider::CProxyConfigProvider(const std::string& fileName, const std::string& unused)
    : fileName_(fileName), unused_(unused), mutex_(std::make_unique<CMutex>("KSL_PROXY_CONFIGURATION_MUTEX")) {}

CProxyConfigProvider::~CProxyConfigProvider() = default;

bool CProxyConfigProvider::AddProxy(const ProxySettings& entry) { return Add(entry, false); }
bool CProxyConfigProvider::AddIntrepidProxy(const ProxySettings& entry) { return Add(entry, true); }
bool CProxyConfigProvider::RemoveProxy(const ProxySettings& entry) { return Remove(entry, false); }
bool CProxyConfigProvider::RemoveIntrepidProxy(const ProxySettings& entry) { return Remove(entry, true); }

std::string CProxyConfigProvider::FindDevice(CXMLParser& parser, const ProxySettings& entry, bool intrepid) {
  const std::string devices = DevicesPath(entry);
  const std::vector<CXMLParser::Node> nodes = parser.SelectNodes(devices);
  for (size_t i = 0; i < nodes.size(); ++i) {
    const CXMLParser::Node& node = nodes[i];
    if (parser.GetNodeAttributeW(node, "address") != entry.address) continue;
    if (parser.GetNodeAttributeW(node, "port") != std::to_string(entry.port)) continue;
    if (intrepid && parser.GetNodeAttributeW(node, "slaveaddress") != std::to_string(entry.slaveAddress)) continue;
    if (parser.GetNodeAttributeW(node, "user") != entry.user) continue;
    if (parser.GetNodeAttributeW(node, "password") != entry.password) continue;
    return "(" + devices + ")[" + std::to_string(i + 1) + "]";
  }
  return {};
}

bool CProxyConfigProvider::Add(const ProxySettings& entry, bool intrepid) {
  if (!IsPlainName(entry.service)) return false;
  MutexHold hold(*mutex_);
  CXMLParser parser;
  if (!parser.LoadFile(fileName_)) return false;
  bool ok = true;
  std::string device = FindDevice(parser, entry, intrepid);
  if (device.empty()) {
    const std::string parent = std::string(kConfiguration) + "[1]";
    const std::string added = parent + "/" + entry.service + "[last()]";
    ok = parser.AddElement(parent, entry.service, "address", entry.address) &&
         parser.SetAttribute(added, "port", std::to_string(entry.port)) &&
         (!intrepid || parser.SetAttribute(added, "slaveaddress", std::to_string(entry.slaveAddress))) &&
         parser.SetAttribute(added, "user", entry.user) && parser.SetAttribute(added, "password", entry.password);
    device = FindDevice(parser, entry, intrepid);
    ok = ok && !device.empty();
  }
  if (ok && !parser.NodeExists(DestinationPath(device, entry.incomingPort))) {
    ok = parser.AddElement(device, "Destination", "port", std::to_string(entry.incomingPort));
  }
  parser.Close(true);
  return ok;
}

bool CProxyConfigProvider::Remove(const ProxySettings& entry, bool intrepid) {
  // An empty entry (a model without this kind of registration) matches nothing.
  if (!IsPlainName(entry.service)) return false;
  MutexHold hold(*mutex_);
  CXMLParser parser;
  if (!parser.LoadFile(fileName_)) return false;
  bool removed = false;
  const std::string device = FindDevice(parser, entry, intrepid);
  if (!device.empty()) {
    removed = parser.RemoveNode(DestinationPath(device, entry.incomingPort));
    if (removed && !parser.NodeExists(device + "/Destination")) parser.RemoveNode(device);
  }
  parser.Close(true);
  return removed;
}

}  // namespace korvane
