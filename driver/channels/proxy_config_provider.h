// Registers proxy-model devices in the shared proxy file read by the outside
// proxy services, under a machine-wide named mutex.
#pragma once

#include <memory>
#include <string>

#include "driver/core/channel_settings.h"

namespace korvane {

class CMutex;

class CProxyConfigProvider {
 public:
  /// `fileName` is resolved against the host directory (normally "KSLProxyConfig.xml").
  explicit CProxyConfigProvider(const std::string& fileName, const std::string& unused = {});
  virtual ~CProxyConfigProvider();

  bool AddProxy(const ProxySettings& entry);
  bool AddIntrepidProxy(const ProxySettings& entry);
  bool RemoveProxy(const ProxySettings& entry);
  bool RemoveIntrepidProxy(const ProxySettings& entry);
};

}  // namespace korvane
