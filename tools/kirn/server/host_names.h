// The names under which this machine's HTTP server may be asked for: what the Host check of
// an unauthenticated server takes (besides loopback names and literals, which it always takes).
#pragma once

#include <set>
#include <string>
#include <vector>

namespace kirn {

// The Host names (lower case, IPv6 literals bracketed, no port) that a server listening on
// `listen_host` (the host part of --listen: "0.0.0.0", "[::]", "192.0.2.7", "[2001:db8::7]")
// answers to: that address itself, and for a wildcard address also the machine's host name
// and every address of its interfaces; and the names in `allowed` (--allowed-host).
std::set<std::string> HostNamesFor(const std::string& listen_host,
                                   const std::vector<std::string>& allowed);

// True when `listen_host` is a loopback address (127.0.0.0/8, [::1]).
bool IsLoopbackListen(const std::string& listen_host);

}  // namespace kirn
