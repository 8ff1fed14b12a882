// Where configuration files, plug-ins, debug files and the proxy file live:
// the directory of the host executable, or KESTREL_HOST_DIR when it is set.
#pragma once

#include <string>

namespace korvane {

/// The host directory with a trailing '/', or empty when it cannot be found.
/// Read on every call, so a host may set KESTREL_HOST_DIR before opening.
std::string HostDirectory();

/// HostDirectory() followed by `name`; empty for an empty name. The name is
/// always appended, also when it looks absolute.
std::string ResolveHostPath(const std::string& name);

/// True when `path`, which must exist, lies inside the host directory once
/// symbolic links and ".." are resolved.
bool IsInsideHostDirectory(const std::string& path);

}  // namespace korvane
