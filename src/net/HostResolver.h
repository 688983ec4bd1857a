#pragma once
// Host-name lookups off the GUI thread. Each lookup runs on a worker of its own; its completion
// is posted to the component's notification object with the lookup's id, so that a send always
// waits for, and uses, the answer to its own lookup.

#include <netinet/in.h>

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "shell/NotifyWindow.h"

namespace net {

struct LookupOutcome {
    int error = 0;                  // 0 on success, otherwise the resolver's error number
    in_addr_t address = 0;          // the first address, in network order
    std::uint16_t replyLength = 0;  // bytes of addresses found; never 1
};

// The long parameter of a completion: the error in the high 16 bits, the reply's length in the
// low 16 bits (never 1, which would read as a read notification).
std::intptr_t CompletionParameter(const LookupOutcome& outcome);

// Resolves `name` to IPv4 addresses with the system resolver; blocking.
LookupOutcome LookUpHost(const std::string& name);

class HostResolver {
  public:
    HostResolver(std::shared_ptr<shell::MessagePoster> poster, std::uint32_t messageNumber);

    // Starts a lookup and returns its id, never 0. The completion is posted as
    // {messageNumber, id, CompletionParameter(outcome)}.
    std::uint32_t Start(const std::string& name);

    // The outcome of a completed lookup, once; nothing while it runs.
    std::optional<LookupOutcome> Take(std::uint32_t id);

  private:
    struct Finished {
        std::mutex mutex;
        std::map<std::uint32_t, LookupOutcome> outcomes;
    };
    std::shared_ptr<Finished> finished_ = std::make_shared<Finished>();
    std::shared_ptr<shell::MessagePoster> poster_;
    std::uint32_t messageNumber_;
    std::uint32_t nextId_ = 1;
};

}  // namespace net
