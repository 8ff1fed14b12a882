// Heron built without the "ReleaseDriver" export: a library the driver must
// refuse to use, freeing it again.
#include "plugins/common/plugin_exports.h"
#include "plugins/heron/heron.h"

KESTREL_PLUGIN_EXPORT korvane::IKSLDataValidatorAPI* CreateDriver() { return korvane::CreatePlugin<korvane::CHeron>(); }
