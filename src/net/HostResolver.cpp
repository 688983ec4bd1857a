#include "net/HostResolver.h"

#include <netdb.h>
#include <sys/socket.h>

#include <algorithm>
#include <thread>

namespace net {

std::intptr_t CompletionParameter(const LookupOutcome& outcome) {
    auto error = static_cast<std::uint32_t>(outcome.error) & 0xFFFF;
    return static_cast<std::intptr_t>((error << 16) | outcome.replyLength);
}

LookupOutcome LookUpHost(const std::string& name) {
    LookupOutcome outcome;
    // The whole text is the name: an empty one, or one with a NUL inside, names no host.
    if (name.empty() || name.find('\0') != std::string::npos) {
        outcome.error = -EAI_NONAME;
        return outcome;
    }
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_DGRAM;
    // No AI_ADDRCONFIG: on a machine whose only address is loopback it would refuse every name.
    addrinfo* found = nullptr;
    int rc = ::getaddrinfo(name.c_str(), nullptr, &hints, &found);
    if (rc != 0 || found == nullptr) {
        outcome.error = rc != 0 ? (rc < 0 ? -rc : rc) : -EAI_NONAME;
        if ((outcome.error & 0xFFFF) == 0) {
            outcome.error = -EAI_FAIL;
        }
        return outcome;
    }
    std::size_t count = 0;
    for (addrinfo* entry = found; entry != nullptr; entry = entry->ai_next) {
        if (entry->ai_family == AF_INET && entry->ai_addr != nullptr) {
            if (count == 0) {
                outcome.address = reinterpret_cast<sockaddr_in*>(entry->ai_addr)->sin_addr.s_addr;
            }
            ++count;
        }
    }
    ::freeaddrinfo(found);
    if (count == 0) {
        outcome.error = -EAI_NONAME;
        return outcome;
    }
    outcome.replyLength = static_cast<std::uint16_t>(std::min<std::size_t>(count * 4, 1024));
    return outcome;
}

HostResolver::HostResolver(std::shared_ptr<shell::MessagePoster> poster,
                           std::uint32_t messageNumber)
    : poster_(std::move(poster)), messageNumber_(messageNumber) {}

std::uint32_t HostResolver::Start(const std::string& name) {
    std::uint32_t id = nextId_++;
    if (nextId_ == 0) {
        nextId_ = 1;
    }
    // The worker holds only shared state, never the component, so it may outlive it.
    std::thread([finished = finished_, poster = poster_, message = messageNumber_, id, name] {
        LookupOutcome outcome = LookUpHost(name);
        {
            std::lock_guard lock(finished->mutex);
            finished->outcomes[id] = outcome;
        }
        if (!poster->Post({message, id, CompletionParameter(outcome)})) {
            std::lock_guard lock(finished->mutex);
            finished->outcomes.erase(id);
        }
    }).detach();
    return id;
}

std::optional<LookupOutcome> HostResolver::Take(std::uint32_t id) {
    std::lock_guard lock(finished_->mutex);
    auto found = finished_->outcomes.find(id);
    if (found == finished_->outcomes.end()) {
        return std::nullopt;
    }
    LookupOutcome outcome = found->second;
    finished_->outcomes.erase(found);
    return outcome;
}

}  // namespace net
