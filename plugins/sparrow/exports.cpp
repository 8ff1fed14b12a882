// The exports the driver binds when it loads Sparrow.so.
#include "plugins/common/plugin_exports.h"
#include "plugins/sparrow/sparrow.h"

KESTREL_PLUGIN_EXPORT korvane::IKSLDataValidatorAPI* CreateDriver() {
  return korvane::CreatePlugin<korvane::CKSLDataValidatorAPIImpl>();
}

KESTREL_PLUGIN_EXPORT bool ReleaseDriver(korvane::IKSLDataValidatorAPI** api) { return korvane::ReleasePlugin(api); }

KESTREL_PLUGIN_EXPORT const char* KestrelProductVersion() { return KESTREL_PLUGIN_VERSION; }
