// HTTP-style authentication for the RTSP client: reading a server's
// challenge and building the Basic and Digest (MD5, no quality of
// protection) Authorization lines that answer it.
#pragma once

#include <string>
#include <string_view>

namespace korvane {

enum class AuthScheme : int { kNone = 0, kBasic = 1, kDigest = 2 };

/// What one WWW-Authenticate header asks for.
struct AuthChallenge {
  AuthScheme scheme = AuthScheme::kNone;
  std::string realm;
  std::string nonce;
};

/// Reads a WWW-Authenticate value ("Digest realm=\"x y\", nonce=\"n\", ...").
/// Parameter names are case-insensitive; quoted values may hold blanks,
/// commas and backslash escapes. False when the scheme is neither Basic nor
/// Digest.
bool ParseAuthChallenge(std::string_view value, AuthChallenge& challenge);

/// "Authorization: Basic <base64(user:password)>\r\n". False (line empty)
/// when the encoded credentials exceed the 100-character credential buffer.
bool BasicAuthorizationLine(std::string_view user, std::string_view password, std::string& line);

/// MD5(MD5(user:realm:password) ":" nonce ":" MD5(method:uri)), lower-case hex.
std::string DigestResponse(std::string_view user, std::string_view realm, std::string_view password,
                           std::string_view method, std::string_view uri, std::string_view nonce);

/// The Digest Authorization line for one request; the values are quoted
/// (a quote or backslash inside is escaped).
std::string DigestAuthorizationLine(std::string_view user, std::string_view realm, std::string_view password,
                                    std::string_view method, std::string_view uri, std::string_view nonce);

}  // namespace korvane
