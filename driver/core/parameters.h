// The model parameter descriptors the host builds its settings dialog from.
// One registry per library, built on first use and read-only afterwards.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <vector>

namespace korvane::drivers {

/// Parameter types as the host understands them.
enum ParameterType : int32_t {
  kParameterNumber = 0,
  kParameterText = 1,
  kParameterPassword = 3,
  kParameterChoice = 5,
};

/// One parameter of one model.
struct ParameterDescriptor {
  std::string label;
  int32_t type = kParameterText;
  int32_t flag = 1;
  std::string defaultValue;
  /// Choice texts of a choice list, numbered from 1 without gaps; empty otherwise.
  std::map<int32_t, std::string> values;
};

/// The parameters of one model, keyed by their 1-based number.
class CModelParameters {
 public:
  CModelParameters(std::string name, std::map<int32_t, ParameterDescriptor> parameters);
  virtual ~CModelParameters() = default;

  const std::string& GetName() const { return name_; }
  /// Descriptor of parameter `number`, or null when the model has none.
  const ParameterDescriptor* Find(int32_t number) const;
  const std::map<int32_t, ParameterDescriptor>& GetParameters() const { return parameters_; }

 private:
  std::string name_;
  std::map<int32_t, ParameterDescriptor> parameters_;
};

/// An ordered set of models.
class CDriverParameters {
 public:
  virtual ~CDriverParameters() = default;

  /// First model whose name equals `name` ignoring ASCII letter case, or null.
  const CModelParameters* FindModel(std::string_view name) const;
  const std::vector<CModelParameters>& GetModels() const { return models_; }

 protected:
  std::vector<CModelParameters> models_;
};

/// The registry of this library: RTSP, HTTP, HTTP server, serial, UDP, TCP,
/// TCP client, proxy and Intrepid proxy, in that order.
class CKestrelDriverParameters : public CDriverParameters {
 public:
  /// The one registry, built on first call (thread-safe). Never throws: if
  /// building fails part-way, the models added so far remain.
  static const CKestrelDriverParameters& Instance() noexcept;

 private:
  CKestrelDriverParameters() noexcept;
};

}  // namespace korvane::drivers
