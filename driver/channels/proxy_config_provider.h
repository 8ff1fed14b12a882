// Registers proxy-model devices in the shared proxy file read by the outside
// proxy services, under a machine-wide named mutex.
#pragma once

#include <functional>
#include <memory>
#include <string>

#include "driver/common/channel_settings.h"

namespace korvane {

class CMutex;
class CXMLParser;
class IDebug;

/// File layout: root/ProxyConfiguration holds one element per device, named
/// after the proxy service, with the attributes address, port, (slaveaddress,)
/// user and password; under it one Destination element with attribute port
/// per driver instance that wants the device's data. Several instances share
/// one device element, which lives as long as one Destination remains.
///
/// Every operation loads the file, changes it and saves it while holding the
/// named mutex "KSL_PROXY_CONFIGURATION_MUTEX" (a wait of 10 s at most; after
/// that it goes on regardless). The file must exist; it is never created.
/// Devices are matched by comparing attribute values, so any text works as
/// address, user or password.
///
/// A change is written to a copy beside the file, read back and then renamed
/// over the file, so the proxy services never see a partly written file and a
/// failed write (a full disk, a size limit) leaves every other registration in
/// place. Nothing is written when the registration is already as asked.
class CProxyConfigProvider {
 public:
  /// `fileName` is resolved against the host directory (normally "KSLProxyConfig.xml").
  /// `logger`, when given, receives a line for every write that fails.
  explicit CProxyConfigProvider(const std::string& fileName, const std::string& unused = {}, IDebug* logger = nullptr);
  virtual ~CProxyConfigProvider();
  CProxyConfigProvider(const CProxyConfigProvider&) = delete;
  CProxyConfigProvider& operator=(const CProxyConfigProvider&) = delete;

  /// Adds the device (if new) and this instance's Destination (if new). True
  /// when the entry is registered afterwards; false when the file cannot be
  /// loaded or changed.
  bool AddProxy(const ProxySettings& entry);
  bool AddIntrepidProxy(const ProxySettings& entry);
  /// Removes this instance's Destination, and the device when no Destination
  /// remains. True when a Destination was removed.
  bool RemoveProxy(const ProxySettings& entry);
  bool RemoveIntrepidProxy(const ProxySettings& entry);

 private:
  using Step = std::function<bool(CXMLParser&)>;

  bool Add(const ProxySettings& entry, bool intrepid);
  bool Remove(const ProxySettings& entry, bool intrepid);
  /// Applies `change` to a copy of the file and puts the copy in place once it
  /// reads back with `check` holding. False (logged) when any step fails.
  bool Rewrite(const char* caller, const Step& change, const Step& check);
  /// XPath of the device element matching `entry`, or empty when there is none.
  std::string FindDevice(CXMLParser& parser, const ProxySettings& entry, bool intrepid);
  /// True when the device element and this entry's Destination are present.
  bool IsRegistered(CXMLParser& parser, const ProxySettings& entry, bool intrepid);

  std::string fileName_;
  std::string unused_;
  IDebug* logger_;
  std::unique_ptr<CMutex> mutex_;
};

}  // namespace korvane
