// What every plug-in library's three exports do; each plug-in writes its
// exports.cpp with these, so the exported names stay greppable:
//
//   KESTREL_PLUGIN_EXPORT korvane::IKSLDataValidatorAPI* CreateDriver() { return korvane::CreatePlugin<CHeron>(); }
//   KESTREL_PLUGIN_EXPORT bool ReleaseDriver(korvane::IKSLDataValidatorAPI** api) { return korvane::ReleasePlugin(api);
//   } KESTREL_PLUGIN_EXPORT const char* KestrelProductVersion() { return KESTREL_PLUGIN_VERSION; }
#pragma once

#include <new>

#include "plugins/common/validator_api.h"

/// C linkage and default visibility: plug-ins are built with hidden visibility.
#define KESTREL_PLUGIN_EXPORT extern "C" __attribute__((visibility("default")))

namespace korvane {

/// A new plug-in object, or null when it cannot be built.
template <class Plugin>
IKSLDataValidatorAPI* CreatePlugin() noexcept {
  try {
    return new (std::nothrow) Plugin();
  } catch (...) {
    return nullptr;
  }
}

/// Destroys *api (allocated by CreatePlugin in this library) and clears the
/// caller's pointer; false for a null argument or object.
inline bool ReleasePlugin(IKSLDataValidatorAPI** api) noexcept {
  if (api == nullptr || *api == nullptr) return false;
  delete *api;
  *api = nullptr;
  return true;
}

}  // namespace korvane
