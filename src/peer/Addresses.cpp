#include "peer/Addresses.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstring>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>

#include "peer/PeerError.h"
#include "peer/session/Signals.h"

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

namespace {

// One lookup, shared by the thread that does it and the run that waits for it; whichever lets go
// last frees it, so a run that ends at a signal never waits for the resolver.
struct Lookup {
    Lookup() : done(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}
    ~Lookup() {
        if (done >= 0) {
            ::close(done);
        }
    }
    Lookup(const Lookup&) = delete;
    Lookup& operator=(const Lookup&) = delete;

    const int done;  // signalled when the lookup has ended
    std::mutex mutex;
    std::optional<in_addr> address;
    std::string error;
};

void LookUp(const std::string& host, Lookup& lookup) {
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_DGRAM;
    addrinfo* found = nullptr;
    const int status = ::getaddrinfo(host.c_str(), nullptr, &hints, &found);
    const std::lock_guard<std::mutex> lock(lookup.mutex);
    if (status != 0 || found == nullptr) {
        lookup.error = "cannot resolve \"" + host + "\": " +
                       (status == EAI_SYSTEM ? std::strerror(errno) : ::gai_strerror(status));
    } else {
        lookup.address = reinterpret_cast<const sockaddr_in*>(found->ai_addr)->sin_addr;
    }
    if (found != nullptr) {
        ::freeaddrinfo(found);
    }
}

}  // namespace

in_addr Resolve(const std::string& host, SignalWatch& signals) {
    in_addr dotted{};
    if (::inet_pton(AF_INET, host.c_str(), &dotted) == 1) {
        return dotted;
    }
    const auto lookup = std::make_shared<Lookup>();
    if (lookup->done < 0) {
        throw UsageError(SystemMessage("cannot resolve \"" + host + "\""));
    }
    // The resolver blocks and cannot be told to stop; in a thread of its own, the run can still
    // end at a signal, leaving the thread to finish (or be ended with the process) alone.
    std::thread([host, lookup] {
        LookUp(host, *lookup);
        const std::uint64_t one = 1;
        [[maybe_unused]] const ssize_t written = ::write(lookup->done, &one, sizeof one);
    }).detach();
    for (;;) {
        std::uint64_t count = 0;
        if (::read(lookup->done, &count, sizeof count) == static_cast<ssize_t>(sizeof count)) {
            break;
        }
        if (signals.Wait(3600, lookup->done, POLLIN)) {
            throw Interrupted();
        }
    }
    const std::lock_guard<std::mutex> lock(lookup->mutex);
    if (!lookup->address) {
        throw UsageError(lookup->error);
    }
    return *lookup->address;
}

}  // namespace peer
