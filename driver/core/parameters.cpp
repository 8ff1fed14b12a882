#include "driver/core/parameters.h"

#include <initializer_list>
#include <utility>

namespace korvane::drivers {
namespace {

/// One row of a model table: number, label, type, default, choices.
struct Row {
  int32_t number;
  const char* label;
  ParameterType type;
  const char* defaultValue;
  std::initializer_list<const char*> choices;
};

constexpr const char* kEndEventLabel = "Send the \"End\" event after N seconds";

CModelParameters Model(const char* name, std::initializer_list<Row> rows) {
  std::map<int32_t, ParameterDescriptor> parameters;
  for (const Row& row : rows) {
    ParameterDescriptor descriptor;
    descriptor.label = row.label;
    descriptor.type = row.type;
    descriptor.defaultValue = row.defaultValue;
    int32_t choice = 1;
    for (const char* text : row.choices) descriptor.values.emplace(choice++, text);
    parameters.emplace(row.number, std::move(descriptor));
  }
  return CModelParameters(name, std::move(parameters));
}

// The tables are built inside functions so that the initializer lists live
// exactly as long as the rows that refer to them.

CModelParameters RtspModel() {
  return Model("KestrelRtspModel", {
                                       {1, "Address", kParameterText, "127.0.0.1", {}},
                                       {2, "RTSP Port", kParameterNumber, "554", {}},
                                       {3, "Username", kParameterText, "", {}},
                                       {4, "Password", kParameterPassword, "", {}},
                                       {5, "Validation", kParameterChoice, "XSD", {"XSD", "Text", "Custom", "None"}},
                                       {6, "Configuration file", kParameterText, "", {}},
                                       {7, "Custom validator", kParameterText, "", {}},
                                       {8, "Session Name", kParameterText, "", {}},
                                       {9, kEndEventLabel, kParameterNumber, "0", {}},
                                   });
}

CModelParameters HttpModel() {
  return Model("KestrelHttpModel", {
                                       {1, "Address", kParameterText, "127.0.0.1", {}},
                                       {2, "HTTP Port", kParameterNumber, "80", {}},
                                       {3, "Username", kParameterText, "", {}},
                                       {4, "Password", kParameterPassword, "", {}},
                                       {5, "Authentication Scheme", kParameterChoice, "Basic", {"Basic", "Digest"}},
                                       {6, "Validation", kParameterChoice, "XSD", {"XSD", "Text", "Custom", "None"}},
                                       {7, "Configuration file", kParameterText, "", {}},
                                       {8, "Custom validator", kParameterText, "", {}},
                                       {9, "Uri", kParameterText, "/korvane/", {}},
                                       {10, kEndEventLabel, kParameterNumber, "0", {}},
                                   });
}

CModelParameters HttpServerModel() {
  return Model("KestrelHttpServerModel",
               {
                   {1, "HTTP Server Port", kParameterNumber, "8081", {}},
                   {2, "Validation", kParameterChoice, "XSD", {"XSD", "Text", "Custom", "None"}},
                   {3, "Configuration file", kParameterText, "", {}},
                   {4, "Custom validator", kParameterText, "", {}},
                   {5, kEndEventLabel, kParameterNumber, "0", {}},
               });
}

CModelParameters SerialModel() {
  return Model("KestrelSerialModel", {
                                         {1, "Port number", kParameterNumber, "1", {}},
                                         {2, "Baudrate", kParameterNumber, "9600", {}},
                                         {3, "Databits", kParameterChoice, "8", {"8"}},
                                         {4, "Stopbits", kParameterChoice, "1", {"0", "1"}},
                                         {5, "Parity", kParameterChoice, "No", {"No", "Odd", "Even", "Mark", "Space"}},
                                         {6, "Flow control", kParameterChoice, "None", {"None", "XonXoff"}},
                                         {7, "Validation", kParameterChoice, "XSD", {"XSD", "Text", "Custom", "None"}},
                                         {8, "Configuration file", kParameterText, "", {}},
                                         {9, "Custom validator", kParameterText, "", {}},
                                         {10, kEndEventLabel, kParameterNumber, "0", {}},
                                     });
}

CModelParameters UdpModel() {
  return Model("KestrelUdpModel", {
                                      {1, "UDP Port number", kParameterNumber, "45000", {}},
                                      {2, "Validation", kParameterChoice, "XSD", {"XSD", "Text", "Custom", "None"}},
                                      {3, "Configuration file", kParameterText, "", {}},
                                      {4, "Custom validator", kParameterText, "", {}},
                                      {5, kEndEventLabel, kParameterNumber, "0", {}},
                                  });
}

CModelParameters TcpModel() {
  return Model("KestrelTcpModel", {
                                      {1, "TCP Port number", kParameterNumber, "40000", {}},
                                      {2, "Validation", kParameterChoice, "XSD", {"XSD", "Text", "Custom", "None"}},
                                      {3, "Configuration file", kParameterText, "", {}},
                                      {4, "Custom validator", kParameterText, "", {}},
                                      {5, kEndEventLabel, kParameterNumber, "0", {}},
                                  });
}

CModelParameters TcpClientModel() {
  return Model("KestrelTcpClientModel",
               {
                   {1, "Address (IP address or hostname)", kParameterText, "127.0.0.1", {}},
                   {2, "TCP Port number", kParameterNumber, "40000", {}},
                   {3, "Validation", kParameterChoice, "XSD", {"XSD", "Text", "Custom", "None"}},
                   {4, "Configuration file", kParameterText, "", {}},
                   {5, "Custom validator", kParameterText, "", {}},
                   {6, kEndEventLabel, kParameterNumber, "0", {}},
               });
}

CModelParameters ProxyModel() {
  return Model("KestrelProxyModel", {
                                        {1,
                                         "Proxy Service",
                                         kParameterChoice,
                                         "AgentViProxy",
                                         {"AgentViProxy", "BoschIVAProxy", "PaxtonProxy", "CanonIVAProxy"}},
                                        {2, "Device Address", kParameterText, "", {}},
                                        {3, "Device Port", kParameterNumber, "", {}},
                                        {4, "Username", kParameterText, "", {}},
                                        {5, "Password", kParameterPassword, "", {}},
                                        {6, "Incoming TCP Port", kParameterNumber, "", {}},
                                        {7, "Validation", kParameterChoice, "XSD", {"XSD"}},
                                        {8, "Configuration file", kParameterText, "", {}},
                                        {9, kEndEventLabel, kParameterNumber, "0", {}},
                                    });
}

CModelParameters IntrepidProxyModel() {
  return Model("KestrelIntrepidProxyModel", {
                                                {1, "Network Address", kParameterText, "", {}},
                                                {2, "Network Port", kParameterNumber, "", {}},
                                                {3, "Slave Device Address", kParameterNumber, "", {}},
                                                {4, "Incoming TCP Port", kParameterNumber, "", {}},
                                                {5, "Validation", kParameterChoice, "XSD", {"XSD"}},
                                                {6, "Configuration file", kParameterText, "", {}},
                                                {7, kEndEventLabel, kParameterNumber, "0", {}},
                                            });
}

char AsciiLower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

bool EqualsIgnoringCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (AsciiLower(a[i]) != AsciiLower(b[i])) return false;
  }
  return true;
}

}  // namespace

CModelParameters::CModelParameters(std::string name, std::map<int32_t, ParameterDescriptor> parameters)
    : name_(std::move(name)), parameters_(std::move(parameters)) {}

const ParameterDescriptor* CModelParameters::Find(int32_t number) const {
  const auto it = parameters_.find(number);
  return it == parameters_.end() ? nullptr : &it->second;
}

const CModelParameters* CDriverParameters::FindModel(std::string_view name) const {
  for (const CModelParameters& model : models_) {
    if (EqualsIgnoringCase(model.GetName(), name)) return &model;
  }
  return nullptr;
}

CKestrelDriverParameters::CKestrelDriverParameters() noexcept {
  // Registry order is visible to the host through model lookup; keep it.
  try {
    models_.reserve(9);
    models_.push_back(RtspModel());
    models_.push_back(HttpModel());
    models_.push_back(HttpServerModel());
    models_.push_back(SerialModel());
    models_.push_back(UdpModel());
    models_.push_back(TcpModel());
    models_.push_back(TcpClientModel());
    models_.push_back(ProxyModel());
    models_.push_back(IntrepidProxyModel());
  } catch (...) {
    // Out of memory while loading the library: keep what was built.
  }
}

const CKestrelDriverParameters& CKestrelDriverParameters::Instance() noexcept {
  static const CKestrelDriverParameters registry;
  return registry;
}

}  // namespace korvane::drivers
