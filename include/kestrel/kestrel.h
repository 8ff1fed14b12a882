// Everything a recording host needs to load and drive Kestrel.
#pragma once

#include "kestrel/data_api.h"
#include "kestrel/data_callback.h"
#include "kestrel/driver_settings.h"
#include "kestrel/exports.h"
#include "kestrel/parameter_info.h"
#include "kestrel/search_data.h"
#include "kestrel/system_time.h"
