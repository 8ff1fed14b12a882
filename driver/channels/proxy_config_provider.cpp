#include "driver/channels/proxy_config_provider.h"

#include <string_view>
#include <vector>

#include "driver/common/driver_interfaces.h"
#include "driver/support/host_directory.h"
#include "driver/support/mutex.h"
#include "driver/support/replacement_file.h"
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

CProxyConfigProvider::CProxyConfigProvider(const std::string& fileName, const std::string& unused, IDebug* logger)
    : fileName_(fileName),
      unused_(unused),
      logger_(logger),
      mutex_(std::make_unique<CMutex>("KSL_PROXY_CONFIGURATION_MUTEX")) {}

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

bool CProxyConfigProvider::IsRegistered(CXMLParser& parser, const ProxySettings& entry, bool intrepid) {
  const std::string device = FindDevice(parser, entry, intrepid);
  return !device.empty() && parser.NodeExists(DestinationPath(device, entry.incomingPort));
}

bool CProxyConfigProvider::Rewrite(const char* caller, const Step& change, const Step& check) {
  const auto fail = [&](const std::string& reason) {
    if (logger_ != nullptr) {
      logger_->Log(kLogError, kCatConfiguration, "%s: Unable to update the proxy configuration file '%s' (%s)", caller,
                   fileName_.c_str(), reason.c_str());
    }
    return false;
  };
  const std::string directory = HostDirectory();
  if (directory.empty()) return fail("the host directory is unknown");
  CReplacementFile file(directory, fileName_);
  std::string error;
  if (!file.Begin(error)) return fail(error);
  {
    CXMLParser copy;
    if (!copy.LoadFile(file.TemporaryName())) return fail("the copy cannot be read");
    if (!change(copy)) return fail("the change cannot be made");
    copy.Close(true);
  }
  // The save reports nothing: what reads back decides.
  CXMLParser written;
  if (!written.LoadFile(file.TemporaryName()) || !check(written)) return fail("the new content was not written whole");
  written.Close();
  if (!file.Commit(error)) return fail(error);
  return true;
}

bool CProxyConfigProvider::Add(const ProxySettings& entry, bool intrepid) {
  if (!IsPlainName(entry.service)) return false;
  MutexHold hold(*mutex_);
  {
    CXMLParser current;
    if (!current.LoadFile(fileName_)) return false;
    if (IsRegistered(current, entry, intrepid)) return true;
  }
  const auto insert = [&](CXMLParser& parser) {
    std::string device = FindDevice(parser, entry, intrepid);
    if (device.empty()) {
      const std::string parent = std::string(kConfiguration) + "[1]";
      const std::string added = parent + "/" + entry.service + "[last()]";
      const bool ok = parser.AddElement(parent, entry.service, "address", entry.address) &&
                      parser.SetAttribute(added, "port", std::to_string(entry.port)) &&
                      (!intrepid || parser.SetAttribute(added, "slaveaddress", std::to_string(entry.slaveAddress))) &&
                      parser.SetAttribute(added, "user", entry.user) &&
                      parser.SetAttribute(added, "password", entry.password);
      if (!ok) return false;
      device = FindDevice(parser, entry, intrepid);
      if (device.empty()) return false;
    }
    return parser.NodeExists(DestinationPath(device, entry.incomingPort)) ||
           parser.AddElement(device, "Destination", "port", std::to_string(entry.incomingPort));
  };
  const auto registered = [&](CXMLParser& parser) { return IsRegistered(parser, entry, intrepid); };
  return Rewrite(
      intrepid ? "korvane::CProxyConfigProvider::AddIntrepidProxy" : "korvane::CProxyConfigProvider::AddProxy", insert,
      registered);
}

bool CProxyConfigProvider::Remove(const ProxySettings& entry, bool intrepid) {
  // An empty entry (a model without this kind of registration) matches nothing.
  if (!IsPlainName(entry.service)) return false;
  MutexHold hold(*mutex_);
  {
    CXMLParser current;
    if (!current.LoadFile(fileName_)) return false;
    if (!IsRegistered(current, entry, intrepid)) return false;
  }
  const auto erase = [&](CXMLParser& parser) {
    const std::string device = FindDevice(parser, entry, intrepid);
    if (device.empty() || !parser.RemoveNode(DestinationPath(device, entry.incomingPort))) return false;
    if (!parser.NodeExists(device + "/Destination")) parser.RemoveNode(device);
    return true;
  };
  const auto unregistered = [&](CXMLParser& parser) { return !IsRegistered(parser, entry, intrepid); };
  return Rewrite(
      intrepid ? "korvane::CProxyConfigProvider::RemoveIntrepidProxy" : "korvane::CProxyConfigProvider::RemoveProxy",
      erase, unregistered);
}

}  // namespace korvane
