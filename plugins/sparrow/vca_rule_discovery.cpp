#include "plugins/sparrow/vca_rule_discovery.h"

#include <utility>
#include <vector>

#include "driver/support/http_sender.h"
#include "driver/support/string_utils.h"
#include "plugins/common/xml_parser.h"

namespace korvane {
namespace {

constexpr const char* kAgent = "Korvane::HttpClient";

/// Collects a response body up to a limit; a longer one cancels the transfer.
class BodyCollector final : public Web::IHttpResponseSink {
 public:
  explicit BodyCollector(size_t limit) : limit_(limit) {}
  void OnResponse(long /*status*/) override { body.clear(); }
  bool OnBody(std::string_view piece) override {
    if (body.size() + piece.size() > limit_) {
      tooLong = true;
      return false;
    }
    body.append(piece);
    return true;
  }
  std::string body;
  bool tooLong = false;

 private:
  const size_t limit_;
};

/// Value of the first line of `lines` whose trimmed name is `name`.
const std::string* FindValue(const std::vector<std::pair<std::string, std::string>>& lines, std::string_view name) {
  for (const auto& [key, value] : lines) {
    if (key == name) return &value;
  }
  return nullptr;
}

/// True when `text` is the decimal form of a number in [0, count).
bool RuleIndex(std::string_view text, int32_t count, int32_t& index) {
  if (text.empty() || text.size() > 10) return false;
  for (const char c : text) {
    if (c < '0' || c > '9') return false;
  }
  if (text.size() > 1 && text[0] == '0') return false;  // "Rl01" is not rule 1's name
  return ParseInt(text, index) && index < count;
}

}  // namespace

CVcaRuleDiscovery::CVcaRuleDiscovery(const DeviceEndpoint& endpoint, IKSLDataValidatorAPIUser* user, const Clock& clock)
    : endpoint_(endpoint), user_(user), clock_(clock) {}

std::string CVcaRuleDiscovery::Lookup(std::string_view ruleId) {
  if (table_.empty()) {
    const auto now = clock_.Now();
    if (!attempted_ || now - lastAttempt_ >= kRetryInterval) {
      attempted_ = true;
      lastAttempt_ = now;
      std::string why;
      if (Load(why)) {
        failing_ = false;
      } else if (!failing_) {
        failing_ = true;
        if (user_ != nullptr) {
          const std::string line = Format(
              "korvane::CVcaRuleDiscovery::Lookup: Cannot load the VCA rule types (%s); events without a rule type "
              "are reported as unknown, next attempt in %lld s",
              why.c_str(), static_cast<long long>(kRetryInterval.count()));
          user_->Log(1, line.c_str());
        }
      }
    }
  }
  int32_t rule = 0;
  if (!ParseInt(Trim(ruleId), rule)) return "unknown";
  const auto found = table_.find(rule);
  return found != table_.end() ? found->second : "unknown";
}

bool CVcaRuleDiscovery::Load(std::string& why) {
  table_.clear();
  if (endpoint_.address.empty()) {
    LoadFromFiles(why);
  } else {
    LoadOverHttp(why);
  }
  if (table_.empty() && why.empty()) why = "no rule has a type";
  return !table_.empty();
}

int32_t CVcaRuleDiscovery::HttpPort() const {
  CXmlParser config;
  int32_t port = endpoint_.port;
  if (config.LoadFile(kConfigFile)) {
    int32_t configured = 0;
    if (ParseInt(Trim(config.GetNodeText("UDP/Configuration/HTTPPort")), configured) && configured != 0) {
      port = configured;
    }
    config.Close();
  }
  return port;
}

bool CVcaRuleDiscovery::LoadOverHttp(std::string& why) {
  const int32_t port = HttpPort();
  if (port <= 0 || port > 65535) {
    why = Format("port %d is no TCP port", port);
    return false;
  }
  Web::DeviceInfo device;
  device.address = endpoint_.address;
  device.port = static_cast<uint16_t>(port);
  device.user = endpoint_.user;
  device.password = endpoint_.password;
  device.timeout = kRequestTimeout;
  auto sender = Web::CHttpSender::Create(std::move(device), clock_);
  if (sender == nullptr) {
    why = "no HTTP client";
    return false;
  }
  const auto deadline = clock_.Now() + kRequestDeadline;
  sender->SetCancelCheck([this, deadline] { return clock_.Now() >= deadline; });
  Web::HttpRequest request;
  request.path = kRuleListPath;
  request.headers.push_back(std::string("User-Agent: ") + kAgent);
  BodyCollector body(kMaxRuleListBytes);
  const auto result = sender->Send(request, body);
  const std::string target = Format("http://%s:%d%s", endpoint_.address.c_str(), port, kRuleListPath);
  if (body.tooLong) {
    why = Format("%s answered with more than %zu bytes", target.c_str(), kMaxRuleListBytes);
    return false;
  }
  if (result == Web::CHttpSender::Result::kCancelled) {
    why = Format("%s did not answer within %lld ms", target.c_str(), static_cast<long long>(kRequestDeadline.count()));
    return false;
  }
  if (result != Web::CHttpSender::Result::kOk) {
    why = Format("%s: %s", target.c_str(), sender->ErrorText().c_str());
    return false;
  }
  const long status = sender->StatusCode();
  if (status < 200 || status > 299) {
    why = Format("%s answered with status %ld", target.c_str(), status);
    return false;
  }
  std::string_view text = body.body;
  text = text.substr(0, text.find('\0'));
  if (text.empty()) {
    why = target + " answered with an empty body";
    return false;
  }
  if (!ReadRuleList(text, table_)) {
    why = target + " did not give the number of rules";
    return false;
  }
  return true;
}

bool CVcaRuleDiscovery::ReadRuleList(std::string_view text, RuleTypeTable& table) {
  // Lines end in CR LF; a bare LF ends a line too, so one value never runs into the next line.
  std::vector<std::pair<std::string, std::string>> lines;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string_view::npos) end = text.size();
    std::string_view line = text.substr(start, end - start);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    const size_t equals = line.find('=');
    if (equals != std::string_view::npos) {
      lines.emplace_back(Trim(line.substr(0, equals)), std::string(line.substr(equals + 1)));
    }
    start = end + 1;
  }
  const std::string* countText = FindValue(lines, "VCA.Ch0.nbrofrule");
  int32_t count = 0;
  if (countText == nullptr || !ParseInt(*countText, count)) return false;
  // Only the names "VCA.Ch0.Rl<i>.type" for i below the count; the first line of a name counts.
  constexpr std::string_view kPrefix = "VCA.Ch0.Rl";
  constexpr std::string_view kSuffix = ".type";
  for (const auto& [name, value] : lines) {
    const std::string_view key = name;
    if (value.empty() || key.size() <= kPrefix.size() + kSuffix.size() || key.substr(0, kPrefix.size()) != kPrefix ||
        key.substr(key.size() - kSuffix.size()) != kSuffix) {
      continue;
    }
    int32_t index = 0;
    if (!RuleIndex(key.substr(kPrefix.size(), key.size() - kPrefix.size() - kSuffix.size()), count, index)) continue;
    if (FindValue(lines, name) != &value) continue;  // a later line with the same name
    table.emplace(index, value);
  }
  return true;
}

bool CVcaRuleDiscovery::LoadFromFiles(std::string& why) {
  CXmlParser config;
  if (!config.LoadFile(kConfigFile)) {
    why = std::string("\"") + kConfigFile + "\" did not load";
    return false;
  }
  const std::string settingsFile = config.GetAttribute("UDP/Configuration", "file");
  CXmlParser settings;
  if (settings.LoadFile(settingsFile)) {
    const auto ids = settings.GetAttributeList("Root/VCASetting/Engine/RuleSettings/Rule", "Id");
    const auto types = settings.GetAttributeList("Root/VCASetting/Engine/RuleSettings/Rule", "Type");
    if (!ids.empty() && ids.size() == types.size()) {
      for (size_t i = 0; i < ids.size(); ++i) {
        int32_t id = 0;
        if (ParseInt(Trim(ids[i]), id)) table_[id] = types[i];
      }
    } else {
      why = "the rules of \"" + settingsFile + "\" do not all carry an Id and a Type";
    }
    settings.Close();
  } else {
    why = "the device settings file \"" + settingsFile + "\" did not load";
  }
  // The device's type codes become the names "Sparrow.xml" gives them; the
  // codes are matched by value, never pasted into a query.
  const auto rules = config.SelectNodes("UDP/Configuration/Rules/Rule");
  for (auto& [rule, type] : table_) {
    std::string name;
    int32_t code = 0;
    const bool numeric = ParseInt(Trim(type), code);
    for (const auto& node : rules) {
      const std::string candidate = config.GetAttribute(node, "type");
      int32_t candidateCode = 0;
      if (numeric ? (ParseInt(Trim(candidate), candidateCode) && candidateCode == code) : candidate == type) {
        name = config.GetNodeText(node);
        break;
      }
    }
    type = name.empty() ? "unknown" : name;
  }
  config.Close();
  return true;
}

}  // namespace korvane
