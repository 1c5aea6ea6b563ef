// A TCP connection with a bounded connect.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>

namespace Utilities {

// Connects to the first address of `host` (name or address literal, without brackets) that
// answers within `timeout` in all; the descriptor is blocking and close-on-exec. -1 on failure.
int connect_tcp(std::string const& host, std::uint16_t port, std::chrono::milliseconds timeout);

// True when `host` is an IPv4 or IPv6 address literal.
bool is_address_literal(std::string const& host);

}  // namespace Utilities
