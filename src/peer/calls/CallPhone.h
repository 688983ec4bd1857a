#pragma once
// One call as `call` places it, on its own socket: Ring, Talk (its voice streaming from then on),
// the talk time, Disconnect. Every reply is waited for on an absolute deadline and counted only
// from where the call sent; the first failure is the call's reason, and the Disconnect goes out
// whatever happened before, so the other side is left idle. Driven by the calls loop: it asks the
// phone when it next has something to do and hands it what arrives.

#include <netinet/in.h>

#include <cstdint>
#include <limits>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "peer/calls/CallResult.h"
#include "peer/calls/PhoneSocket.h"
#include "peer/checks/VoiceCheck.h"
#include "peer/figures/Figures.h"
#include "peer/report/ReportData.h"
#include "peer/session/VoiceStream.h"

namespace peer {

struct CallSetup {
    std::uint64_t index = 0;
    sockaddr_in to{};
    std::int32_t target = 1;
    double timeout = 1;                  // seconds for each reply
    double talkSeconds = 10;             // from the accepted Talk
    std::span<const std::uint8_t> play;  // empty: no voice
    // --expect-voice's bytes (null: no check) and how much may be missing.
    std::shared_ptr<const VoiceCheck::Expected> expected;
    double allowMissingPercent = 0;
    in_addr shownSource{};  // for a socket bound to 0.0.0.0: the address it leaves from
    double origin = 0;      // monotonic seconds the run's clock counts from
    // The HTML report's data, whose spacing pictures gather every call's voice; null: none.
    ReportData* report = nullptr;
};

class CallPhone {
  public:
    static constexpr double kNever = std::numeric_limits<double>::infinity();

    CallPhone(const CallSetup& setup, PhoneSocket socket);

    // Sends the Ring.
    void Start(double now);
    // A datagram that reached the call's socket.
    void Take(const Arrival& arrival, double now);
    // Whatever is due at `now`: a voice chunk, a reply's deadline, the talk time's end.
    void Act(double now);
    // When Act has something to do next (monotonic seconds).
    double NextWake() const;
    // A signal: the Disconnect now, if not sent yet, and its reply waited for `grace` at most.
    void Interrupt(double now, double grace);
    bool Done() const { return step_ == Step::Done; }

    PhoneSocket& Socket() { return socket_; }
    std::uint64_t Stalls() const { return schedule_.Stalls(); }
    std::uint64_t VoiceSent() const { return voiceSent_; }
    std::uint64_t VoiceReceived() const { return voiceReceived_; }
    // The p99 of the receive spacing since the last time asked (none: nothing to measure).
    std::optional<double> TakeIntervalP99();

    // Once Done: the call's figures and verdict.
    CallResult Finish();

  private:
    enum class Step { Ring, Talk, Talking, Disconnect, Done };
    struct Pending {
        std::int16_t command = 0;
        std::uint16_t seq = 0;
        double sent = 0;       // monotonic
        double sentStamp = 0;  // real-time
        double deadline = 0;
        std::optional<sockaddr_in> elsewhere;
    };

    void Request(phone::Command command, double now);
    void Replied(std::int16_t status, double latency, double now);
    void TimedOut(double now);
    void EndTalk(double now);
    void SendVoice();
    void Received(const Arrival& arrival, const DatagramLook& look, double now);
    void Answer(const Arrival& arrival, const DatagramLook& look);
    void Fail(Failure failure, std::string detail);
    std::string Named(std::int16_t command) const;

    CallSetup setup_;
    PhoneSocket socket_;
    CallResult result_;
    Step step_ = Step::Ring;
    std::int32_t mode_;
    std::int32_t nextSeq_ = 1;
    std::optional<Pending> pending_;
    double talkEnd_ = kNever;
    bool interrupted_ = false;

    bool streaming_ = false;
    VoiceSchedule schedule_;
    std::size_t playOffset_ = 0;
    double lastSentStamp_ = -1, lastReceivedStamp_ = -1;
    Samples sentSpacing_{100'000}, receivedSpacing_{100'000};
    std::vector<float> intervalSpacing_;
    std::uint64_t voiceSent_ = 0, voiceReceived_ = 0;
    SeqCheck seq_;
    std::unique_ptr<VoiceCheck> voiceCheck_;
    std::optional<double> voiceEnd_;
};

}  // namespace peer
