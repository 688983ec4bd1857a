#pragma once
// IPv4 addresses as the peer takes them from its arguments and shows them.

#include <netinet/in.h>

#include <cstdint>
#include <string>

namespace peer {

class SignalWatch;

// Whether `text` is a dotted IPv4 address written exactly as a receiver shows a sender's
// address ("%d.%d.%d.%d", no leading zeros), so that it can be compared as text.
bool IsDottedAddress(const std::string& text);

// "a.b.c.d" and "a.b.c.d:port".
std::string AddressText(const in_addr& address);
std::string EndpointText(const sockaddr_in& endpoint);

sockaddr_in MakeEndpoint(const in_addr& address, std::uint16_t port);
// A dotted address known to be valid (IsDottedAddress).
in_addr ParseDotted(const std::string& text);

// HOST[:PORT]: a name or dotted address, then optionally a colon and a port of 1 to 65535.
struct HostAndPort {
    std::string host;
    std::uint16_t port = 0;
};
// Throws UsageError naming `argument` when the text is malformed.
HostAndPort SplitHostPort(const std::string& text, std::uint16_t defaultPort,
                          const std::string& argument);

// Looks up `host` (IPv4 only); throws UsageError when it cannot be resolved, and Interrupted when
// a signal comes first: a resolver that gets no answer can take many seconds.
in_addr Resolve(const std::string& host, SignalWatch& signalWatch);

}  // namespace peer
