// The models a driver object can open: for each, the parameter reader that
// fills the channel settings and the factory of its channel.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string_view>

#include "driver/common/channel_settings.h"
#include "driver/common/driver_interfaces.h"
#include "kestrel/driver_settings.h"

namespace korvane {

class CChannelBase;
class CKestrelDriver;

/// Builds the channel of a model; may return null or throw when it cannot.
using ChannelFactory = std::unique_ptr<CChannelBase> (*)(IDataDriver& driver, IDebug& debug,
                                                         const ChannelSettings& settings);
/// Reads and checks a model's parameters into `config`; logs and returns false on a bad value.
using ParameterReader = bool (CKestrelDriver::*)(IDriverSettings& settings, ChannelSettings& config);

/// Which proxy registration a model makes after its channel exists.
enum class ProxyRegistration { kNone, kProxy, kIntrepidProxy };

struct ModelEntry {
  const char* name;              ///< compared exactly
  int32_t validationIndex;       ///< parameter number of "Validation"
  int32_t customValidatorIndex;  ///< parameter number of "Custom validator"; 0 when the model has none
  ParameterReader reader;
  ChannelFactory factory;  ///< null while this build has no channel for the model
  ProxyRegistration registration;
};

/// Every model, in lookup order.
std::span<const ModelEntry> ModelEntries();
/// The entry whose name equals `name` exactly (letter case counts), or null.
const ModelEntry* FindModelEntry(std::string_view name);

}  // namespace korvane
