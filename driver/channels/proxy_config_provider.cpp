// Placeholder until the proxy provider lands.
#include "driver/channels/proxy_config_provider.h"

namespace korvane {

CProxyConfigProvider::CProxyConfigProvider(const std::string&, const std::string&) {}
CProxyConfigProvider::~CProxyConfigProvider() = default;
bool CProxyConfigProvider::AddProxy(const ProxySettings&) { return false; }
bool CProxyConfigProvider::AddIntrepidProxy(const ProxySettings&) { return false; }
bool CProxyConfigProvider::RemoveProxy(const ProxySettings&) { return false; }
bool CProxyConfigProvider::RemoveIntrepidProxy(const ProxySettings&) { return false; }

}  // namespace korvane
