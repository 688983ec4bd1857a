#pragma once
// `answer --phones`: many phones answering at once, each a Session of its own (the window's
// rules, its state, its remembered peer, its Seq, its voice on its own schedule) on a socket of
// its own, all driven by one PhoneLoop on one thread.

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "peer/commands/Options.h"
#include "peer/commands/Subcommands.h"
#include "peer/phones/PhoneLoop.h"
#include "peer/session/Session.h"

namespace peer {

// What each phone's socket asks of the kernel for its receive buffer unless --receive-buffer
// says: a second of voice for a dozen calls, where thousands of sockets share the machine.
inline constexpr int kPhoneReceiveBuffer = 256 << 10;

// The soft limit of open files raised to the hard one: a socket for each phone.
void RaiseDescriptorLimit();

class Phones {
  public:
    // Binds every phone's socket before anything is sent (the run's own socket is the first
    // phone's) and sets each up with `settings`; throws UsageError when a socket cannot be had.
    Phones(const AnswerOptions& options, Run& run, SignalWatch& signals,
           const SessionSettings& settings);
    ~Phones();

    std::size_t Count() const { return phones_.size(); }
    // Each phone's local address and port.
    const std::vector<std::string>& Names() const { return names_; }
    // The voice chunks every phone made (the impairments, refused with phones, touch none).
    nlohmann::ordered_json Impairments() const;

    // Works until `done` holds, `deadline` (monotonic seconds) or a signal; with `requestLimit`,
    // takes no more datagrams than the requests still to come over all phones.
    Session::Stop RunUntil(const std::function<bool()>& done, double deadline,
                           std::optional<std::uint64_t> requestLimit);

    std::uint64_t RequestsReceived() const { return requests_; }
    std::uint64_t Disconnects() const { return disconnects_; }

    // Every phone's voice timing (the largest last drift, the stalls summed) and send errors to
    // the figures.
    void Settle(Figures& figures) const;

  private:
    struct Phone {
        Wire* wire;
        std::unique_ptr<Session> session;
    };
    std::vector<Phone> phones_;
    std::vector<std::string> names_;
    std::unique_ptr<PhoneLoop> loop_;
    std::uint64_t requests_ = 0;
    std::uint64_t disconnects_ = 0;
};

}  // namespace peer
