// Small POSIX socket helpers shared by the network channels.
#pragma once

#include <netinet/in.h>

#include <chrono>
#include <string>
#include <string_view>

namespace korvane {

/// setsockopt for an int value; true on success.
bool SetSocketOption(int fd, int level, int name, int value);
/// SO_RCVTIMEO; true on success.
bool SetReceiveTimeout(int fd, std::chrono::milliseconds timeout);
/// Keep-alive probing after 10 s idle, every 3 s; true on success.
bool SetKeepAliveProbing(int fd);
/// O_NONBLOCK on or off; true on success.
bool SetNonBlocking(int fd, bool enable);
/// Sends what fits into the socket buffer now, without blocking or SIGPIPE;
/// the result is not reported (peers that do not read lose the bytes).
void SendWithoutWaiting(int fd, std::string_view bytes);
/// Port a socket is bound to (host order), 0 when unknown.
uint16_t LocalPort(int fd);
/// Dotted IPv4 address text to an address; false for anything else.
bool ParseIPv4(const std::string& text, in_addr& address);

}  // namespace korvane
