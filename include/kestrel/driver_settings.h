// The host's source of the model name and numbered model parameters.
#pragma once

#include <cstdint>

namespace korvane {

/// Given to IDataAPI::Open; not owned. Called on the thread that opens the driver.
class IDriverSettings {
 public:
  virtual ~IDriverSettings() = default;
  /// Value of the 1-based model parameter `index`, or null when there is none.
  virtual const char* GetParameter(int32_t index) = 0;
  /// The model name chosen by the user.
  virtual const char* GetModel() = 0;
};

}  // namespace korvane
