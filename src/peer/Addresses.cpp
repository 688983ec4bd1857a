#include "peer/Addresses.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <sys/socket.h>

#include <cerrno>
#include <charconv>
#include <cstring>

#include "peer/PeerError.h"

namespace peer {

bool IsDottedAddress(const std::string& text) {
    in_addr parsed{};
    return ::inet_pton(AF_INET, text.c_str(), &parsed) == 1 && AddressText(parsed) == text;
}

std::string AddressText(const in_addr& address) {
    char text[INET_ADDRSTRLEN] = {};
    ::inet_ntop(AF_INET, &address, text, sizeof text);
    return text;
}

std::string EndpointText(const sockaddr_in& endpoint) {
    return AddressText(endpoint.sin_addr) + ":" + std::to_string(ntohs(endpoint.sin_port));
}

sockaddr_in MakeEndpoint(const in_addr& address, std::uint16_t port) {
    sockaddr_in endpoint{};
    endpoint.sin_family = AF_INET;
    endpoint.sin_addr = address;
    endpoint.sin_port = htons(port);
    return endpoint;
}

in_addr ParseDotted(const std::string& text) {
    in_addr parsed{};
    ::inet_pton(AF_INET, text.c_str(), &parsed);
    return parsed;
}

HostAndPort SplitHostPort(const std::string& text, std::uint16_t defaultPort,
                          const std::string& argument) {
    HostAndPort result{text, defaultPort};
    const auto colon = text.rfind(':');
    if (colon != std::string::npos) {
        result.host = text.substr(0, colon);
        const std::string port = text.substr(colon + 1);
        unsigned value = 0;
        const auto [end, error] = std::from_chars(port.data(), port.data() + port.size(), value);
        if (port.empty() || error != std::errc() || end != port.data() + port.size() || value < 1 ||
            value > 65535) {
            throw UsageError(argument + ": the port in \"" + text +
                             "\" must be a number from 1 to 65535");
        }
        result.port = static_cast<std::uint16_t>(value);
    }
    if (result.host.empty()) {
        throw UsageError(argument + ": no host in \"" + text + "\"");
    }
    return result;
}

in_addr Resolve(const std::string& host) {
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_DGRAM;
    addrinfo* found = nullptr;
    const int status = ::getaddrinfo(host.c_str(), nullptr, &hints, &found);
    if (status != 0 || found == nullptr) {
        throw UsageError("cannot resolve \"" + host + "\": " +
                         (status == EAI_SYSTEM ? std::strerror(errno) : ::gai_strerror(status)));
    }
    const in_addr address = reinterpret_cast<const sockaddr_in*>(found->ai_addr)->sin_addr;
    ::freeaddrinfo(found);
    return address;
}

}  // namespace peer
