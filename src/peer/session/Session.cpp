#include "peer/session/Session.h"

#include <unistd.h>

#include <algorithm>
#include <array>

#include "peer/Addresses.h"
#include "peer/Clock.h"
#include "peer/Files.h"
#include "peer/PeerError.h"

namespace peer {

Session::Session(Wire& wire, Report& report, Figures& figures, SignalWatch& signals,
                 SessionSettings settings)
    : wire_(wire),
      report_(report),
      figures_(figures),
      settings_(std::move(settings)),
      signals_(signals),
      outlet_(wire, settings_.impairments),
      mode_(settings_.mode),
      remembered_(settings_.rememberedPeer),
      target_(settings_.target) {
    if (settings_.playFd >= 0) {
        voice_ = std::make_unique<VoiceStream>(settings_.playFd, outlet_, !settings_.sharedPlay);
    }
    if (!settings_.outerLoop) {
        Loop();  // its timer before anything is sent
    }
    outlet_.MarkInto(settings_.collector);
}

Session::~Session() = default;

void Session::StreamTo(const sockaddr_in& to) {
    voiceTo_ = to;
    outlet_.SetDestination(to);
    if (voice_ && mode_ == phone::ModeTalking && !voice_->Running()) {
        voice_->Start(MonotonicSeconds());
    }
}

void Session::EnterMode(std::int32_t mode) {
    const bool wasTalking = mode_ == phone::ModeTalking;
    mode_ = mode;
    if (!voice_ || wasTalking == (mode == phone::ModeTalking)) {
        return;
    }
    if (mode == phone::ModeTalking) {
        if (voiceTo_) {
            voice_->Start(MonotonicSeconds());
        }
    } else {
        voice_->Pause();
        outlet_.Release();
    }
}

Session::Stop Session::QuietVoice(double deadline) {
    if (voice_) {
        voice_->Pause();
    }
    outlet_.Release();
    return RunUntil([this] { return !outlet_.Waiting(); }, deadline);
}

void Session::Settle() {
    if (voice_ && figures_.VoiceSent() > 0) {
        figures_.SetVoiceTiming(voice_->Drift(), voice_->Stalls());
    }
    figures_.SetSendErrors(wire_.SendErrors());
}

double Session::NextDue() const {
    const bool streaming = voice_ && voice_->Running() && voiceTo_;
    return std::min(streaming ? voice_->NextDeadline() : kNever, outlet_.NextDue());
}

void Session::Act(double now) {
    outlet_.SendDue(now);
    if (voice_ && voice_->Running() && voiceTo_ && now >= voice_->NextDeadline()) {
        voice_->SendDue(now, nextSeq_, target_);
    }
}

Session::Stop Session::RunUntil(const std::function<bool()>& done, double deadline) {
    Wire* const wires[] = {&wire_};
    const EventLoop::Work work{
        [this](Wire&, const DatagramEvent& event) { Take(event); },
        [this] { return NextDue(); },
        [this](double now) { Act(now); },
        [this]() -> std::size_t {
            const auto limit = settings_.requestLimit;
            if (!limit) {
                return SIZE_MAX;
            }
            return *limit > requestsReceived_ ? *limit - requestsReceived_ : 0;
        },
    };
    return Loop().RunUntil(wires, work, done, deadline);
}

EventLoop& Session::Loop() {
    if (!loop_) {
        loop_ = std::make_unique<EventLoop>(signals_);
        loop_->SetTicker(settings_.ticker);
    }
    return *loop_;
}

Session::Outcome Session::Request(phone::Command command, std::int32_t newMode,
                                  const sockaddr_in& to, double timeout) {
    EnterMode(newMode);
    std::array<std::uint8_t, phone::kRequestSize> request{};
    const std::uint16_t seq = phone::TakeRequestSeq(nextSeq_);
    phone::BuildRequest(request, command, seq, target_);
    pending_ = Pending{seq, command, RealtimeSeconds(), std::nullopt, std::nullopt, std::nullopt};
    asked_ = to;
    const double sentAt = MonotonicSeconds();
    wire_.Send(to, request);
    Outcome outcome;
    outcome.stop =
        RunUntil([this] { return pending_->status.has_value(); }, MonotonicSeconds() + timeout);
    outcome.status = pending_->status;
    outcome.elsewhere = pending_->elsewhere;
    if (settings_.collector != nullptr) {
        settings_.collector->AddReply({settings_.collector->RunTime(sentAt), RequestName(command),
                                       pending_->status, pending_->latency});
    }
    pending_.reset();
    return outcome;
}

void Session::Take(const DatagramEvent& event) {
    switch (event.look.kind) {
        case Kind::Request:
            Answer(event);
            break;
        case Kind::Voice:
            Record(event);
            break;
        case Kind::Reply: {
            const bool awaited = pending_ && !pending_->status &&
                                 event.look.header.Seq == pending_->seq &&
                                 event.look.header.Command == pending_->command;
            if (asked_ && !FromEndpoint(event, *asked_)) {
                // Someone else's answer to our request is no answer of the peer's.
                strangers_.Add(event, "not from the peer");
                if (awaited && !pending_->elsewhere) {
                    pending_->elsewhere = event.peer;
                }
            } else if (awaited) {
                pending_->status = event.look.header.Status;
                pending_->latency = event.stamp - pending_->sentStamp;
                figures_.AddReplyLatency(*pending_->latency);
                figures_.CountAnswered();
            }
            break;
        }
        case Kind::Ignored:
            break;
    }
}

void Session::Answer(const DatagramEvent& event) {
    ++requestsReceived_;
    const phone::PhoneDatagram& request = event.look.header;
    const std::string from = AddressText(event.peer.sin_addr);
    const phone::RequestAnswer answer = phone::AnswerRequest(mode_, remembered_, request, from);
    if (answer.acceptedRing) {
        // A new call: its figures start over, and a --play file that ran out starts over too.
        figures_.StartCall(event, from);
        if (settings_.collector != nullptr) {
            settings_.collector->StartCall(event);
        }
        if (voice_ && voice_->Finished()) {
            voice_->Rewind();
        }
        if (report_.ShowsLog()) {
            report_.LogLine(phone::DialLine(request));
        }
        remembered_ = std::string(phone::PeerAfter(answer, remembered_, from));
        target_ = request.Target;
    }
    std::array<std::uint8_t, phone::kRequestSize> reply{};
    std::copy(event.bytes.begin(), event.bytes.end(), reply.begin());
    phone::SetStatus(reply, answer.status);

    sockaddr_in to = event.peer;
    if (!settings_.replyToSender) {
        // The window's way: to the remembered peer at the peer port. With none remembered, the
        // sender's address stands in for it.
        to = MakeEndpoint(remembered_.empty() ? event.peer.sin_addr : ParseDotted(remembered_),
                          settings_.peerPort);
    }
    // From the address the request came to, whatever the kernel's route would choose: the
    // caller checks that its answers come from where it asked.
    const in_addr source = event.answerFrom;
    if (answer.status == phone::StatusAccepted && answer.mode == phone::ModeTalking) {
        voiceTo_ = to;
        outlet_.SetDestination(to, source);
    }
    if (answer.status == phone::StatusAccepted &&
        (request.Command == phone::CmdHangUp || request.Command == phone::CmdDisconnect)) {
        ++disconnects_;
    }
    EnterMode(answer.mode);
    wire_.Queue(to, reply, source);
    if (report_.ShowsLog()) {
        report_.LogLine(phone::SendLine(request));
        report_.LogLine(phone::ReadLine(reply));
    }
}

void Session::Record(const DatagramEvent& event) {
    if (settings_.record == nullptr || !settings_.record->IsOpen() ||
        event.windowBuffer == nullptr) {
        return;
    }
    const std::span<const std::uint8_t> voice =
        phone::VoiceToStore(std::span<const std::uint8_t, phone::kReceiveBufferSize>(
            event.windowBuffer, phone::kReceiveBufferSize));
    if (!settings_.record->Write(voice)) {
        ++recordErrors_;
    }
}

}  // namespace peer
