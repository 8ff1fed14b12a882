#include "driver/support/authentication.h"

#include "driver/support/string_utils.h"

namespace korvane {
namespace {

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

bool EqualsIgnoreCase(std::string_view a, std::string_view b) {
  return a.size() == b.size() && ToLower(a) == ToLower(b);
}

void SkipBlanksAndCommas(std::string_view text, size_t& pos) {
  while (pos < text.size() && (IsBlank(text[pos]) || text[pos] == ',')) ++pos;
}

// One parameter value at `pos`: a quoted string (escapes resolved) or a token
// up to the next comma or blank.
std::string ReadValue(std::string_view text, size_t& pos) {
  std::string value;
  if (pos < text.size() && text[pos] == '"') {
    for (++pos; pos < text.size() && text[pos] != '"'; ++pos) {
      if (text[pos] == '\\' && pos + 1 < text.size()) ++pos;
      value.push_back(text[pos]);
    }
    if (pos < text.size()) ++pos;  // closing quote
    return value;
  }
  while (pos < text.size() && text[pos] != ',' && !IsBlank(text[pos])) value.push_back(text[pos++]);
  return value;
}

void AppendQuoted(std::string& out, std::string_view value) {
  out.push_back('"');
  for (const char c : value) {
    if (c == '"' || c == '\\') out.push_back('\\');
    out.push_back(c);
  }
  out.push_back('"');
}

}  // namespace

bool ParseAuthChallenge(std::string_view value, AuthChallenge& challenge) {
  challenge = AuthChallenge{};
  size_t pos = 0;
  while (pos < value.size() && IsBlank(value[pos])) ++pos;
  size_t end = pos;
  while (end < value.size() && !IsBlank(value[end])) ++end;
  const std::string_view scheme = value.substr(pos, end - pos);
  if (EqualsIgnoreCase(scheme, "digest")) {
    challenge.scheme = AuthScheme::kDigest;
  } else if (EqualsIgnoreCase(scheme, "basic")) {
    challenge.scheme = AuthScheme::kBasic;
  } else {
    return false;
  }
  pos = end;
  while (true) {
    SkipBlanksAndCommas(value, pos);
    if (pos >= value.size()) break;
    const size_t nameStart = pos;
    while (pos < value.size() && value[pos] != '=' && value[pos] != ',' && !IsBlank(value[pos])) ++pos;
    const std::string_view name = value.substr(nameStart, pos - nameStart);
    while (pos < value.size() && IsBlank(value[pos])) ++pos;
    if (pos >= value.size() || value[pos] != '=') continue;  // a bare token: nothing to store
    ++pos;
    while (pos < value.size() && IsBlank(value[pos])) ++pos;
    std::string parameter = ReadValue(value, pos);
    if (EqualsIgnoreCase(name, "realm")) {
      challenge.realm = std::move(parameter);
    } else if (EqualsIgnoreCase(name, "nonce")) {
      challenge.nonce = std::move(parameter);
    }
  }
  return true;
}

bool BasicAuthorizationLine(std::string_view user, std::string_view password, std::string& line) {
  line.clear();
  std::string credentials;
  if (!BasicCredentials(user, password, credentials)) return false;
  line = "Authorization: Basic " + credentials + "\r\n";
  return true;
}

std::string DigestResponse(std::string_view user, std::string_view realm, std::string_view password,
                           std::string_view method, std::string_view uri, std::string_view nonce) {
  std::string a1;
  a1.append(user).append(1, ':').append(realm).append(1, ':').append(password);
  std::string a2;
  a2.append(method).append(1, ':').append(uri);
  std::string response = Md5Hex(a1);
  response.append(1, ':').append(nonce).append(1, ':').append(Md5Hex(a2));
  return Md5Hex(response);
}

std::string DigestAuthorizationLine(std::string_view user, std::string_view realm, std::string_view password,
                                    std::string_view method, std::string_view uri, std::string_view nonce) {
  std::string line = "Authorization: Digest username=";
  AppendQuoted(line, user);
  line += ", realm=";
  AppendQuoted(line, realm);
  line += ", nonce=";
  AppendQuoted(line, nonce);
  line += ", uri=";
  AppendQuoted(line, uri);
  line += ", response=";
  AppendQuoted(line, DigestResponse(user, realm, password, method, uri, nonce));
  line += "\r\n";
  return line;
}

}  // namespace korvane
