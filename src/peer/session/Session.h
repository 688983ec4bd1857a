#pragma once
// One endpoint of a call, as the peer plays it: answers every request by the window's rules,
// records voice as the window stores it, streams its own voice while talking, and sends requests
// of its own and waits for their replies. `answer` and `call` both run on it.

#include <cmath>
#include <cstdint>
#include <functional>
#include <limits>
#include <memory>
#include <optional>
#include <string>

#include "peer/Files.h"
#include "peer/figures/Figures.h"
#include "peer/figures/Report.h"
#include "peer/figures/Unexpected.h"
#include "peer/report/ReportCollector.h"
#include "peer/session/EventLoop.h"
#include "peer/session/ImpairedOutlet.h"
#include "peer/session/Impairment.h"
#include "peer/session/Signals.h"
#include "peer/session/VoiceStream.h"
#include "peer/session/Wire.h"
#include "phone/CallRules.h"

namespace peer {

struct SessionSettings {
    // Where replies go: the remembered address (or, with none, the sender's) at `peerPort`, or
    // with `replyToSender` back to the sender's own address and port.
    std::uint16_t peerPort = 20080;
    bool replyToSender = false;
    // The address text held for the peer from the start; empty: none.
    std::string rememberedPeer;
    std::int32_t target = 1;
    std::int32_t mode = phone::ModeIdle;
    int playFd = -1;          // owned unless `sharedPlay`; -1: nothing to play
    bool sharedPlay = false;  // playFd is read by other sessions too, and stays open
    // Driven by an outer loop (NextDue, Act, Take) that waits for many sessions: no timer of its
    // own until it waits by itself.
    bool outerLoop = false;
    OutputFile* record = nullptr;    // null: nothing recorded
    ImpairmentSettings impairments;  // of the outgoing voice
    // Answers at most this many requests, and takes no datagram from the socket that it could
    // not answer; none: no limit.
    std::optional<std::uint64_t> requestLimit;
    // Also done while the session waits (the running figures); null: nothing.
    LoopTicker* ticker = nullptr;
    // The HTML report's, when there is one: told of each request's reply, each call that
    // starts, and what happens to the outgoing voice.
    ReportCollector* collector = nullptr;
};

class Session final {
  public:
    Session(Wire& wire, Report& report, Figures& figures, SignalWatch& signals,
            SessionSettings settings);
    ~Session();
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;

    using Stop = EventLoop::Stop;
    static constexpr double kNever = EventLoop::kNever;

    // Works until `done` holds, the monotonic clock reaches `deadline`, or a signal comes.
    Stop RunUntil(const std::function<bool()>& done, double deadline = kNever);

    // Sends a request to `to` with the next Seq and the session's target, enters `newMode` as
    // the window's button does, and waits up to `timeout` seconds for its reply's status.
    struct Outcome {
        std::optional<std::int16_t> status;
        Stop stop = Stop::Condition;
        // Where a reply to it came from that was not counted, for not coming from `to`.
        std::optional<sockaddr_in> elsewhere;
    };
    Outcome Request(phone::Command command, std::int32_t newMode, const sockaddr_in& to,
                    double timeout);

    // Streams the play file to `to` from now on, while talking.
    void StreamTo(const sockaddr_in& to);
    bool VoiceFinished() const { return voice_ && voice_->Finished(); }
    bool HasVoice() const { return voice_ != nullptr; }

    std::int32_t Mode() const { return mode_; }
    std::uint64_t RequestsReceived() const { return requestsReceived_; }
    // Accepted Disconnect or HangUp requests from the peer.
    std::uint64_t Disconnects() const { return disconnects_; }
    std::uint64_t RecordErrors() const { return recordErrors_; }

    // Stops the stream and lets the chunks it made late or held back go out, waiting for them
    // until `deadline` at most: the voice is on the wire before what comes next.
    Stop QuietVoice(double deadline);
    // Sees every voice chunk the schedule makes, before any impairment.
    void WatchVoice(std::function<void(std::span<const std::uint8_t>)> watcher) {
        outlet_.Watch(std::move(watcher));
    }
    // The impairments' seed and counts.
    nlohmann::ordered_json Impairments() const { return outlet_.Summary(); }

    // Hands the voice timing and the wire's send errors to the figures.
    void Settle();

    // Replies that came from elsewhere than where the requests went, not counted.
    const Unexpected& Strangers() const { return strangers_; }

    // One received datagram, after the wire's taps saw it: what the event loop does with each.
    void Take(const DatagramEvent& event);

    // For a loop that drives many sessions itself: when Act has something to do next (monotonic
    // seconds; kNever: nothing), and doing it.
    double NextDue() const;
    void Act(double now);
    // The voice stream's last drift against its deadline, and its stalls; 0 without one.
    double VoiceDrift() const { return voice_ ? voice_->Drift() : 0; }
    std::uint64_t VoiceStalls() const { return voice_ ? voice_->Stalls() : 0; }

  private:
    EventLoop& Loop();
    void Answer(const DatagramEvent& event);
    void Record(const DatagramEvent& event);
    void EnterMode(std::int32_t mode);

    Wire& wire_;
    Report& report_;
    Figures& figures_;
    SessionSettings settings_;
    SignalWatch& signals_;
    std::unique_ptr<EventLoop> loop_;  // made when the session first waits by itself
    ImpairedOutlet outlet_;

    std::int32_t mode_;
    std::string remembered_;
    std::int32_t target_;
    std::int32_t nextSeq_ = 1;

    std::unique_ptr<VoiceStream> voice_;
    std::optional<sockaddr_in> voiceTo_;

    struct Pending {
        std::uint16_t seq = 0;
        std::int16_t command = 0;
        double sentStamp = 0;
        std::optional<std::int16_t> status;
        std::optional<sockaddr_in> elsewhere;
        std::optional<double> latency;
    };
    std::optional<Pending> pending_;
    // Where this session's requests go: replies count only from there.
    std::optional<sockaddr_in> asked_;
    Unexpected strangers_;

    std::uint64_t requestsReceived_ = 0;
    std::uint64_t disconnects_ = 0;
    std::uint64_t recordErrors_ = 0;
};

}  // namespace peer
