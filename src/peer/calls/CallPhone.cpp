#include "peer/calls/CallPhone.h"

#include <algorithm>
#include <array>
#include <cmath>

#include "peer/Addresses.h"
#include "peer/Clock.h"
#include "peer/DatagramLook.h"
#include "phone/CallRules.h"

namespace peer {
namespace {

bool SameEndpoint(const sockaddr_in& a, const sockaddr_in& b) {
    return a.sin_addr.s_addr == b.sin_addr.s_addr && a.sin_port == b.sin_port;
}

// Every call's spacing in one picture: how the calls fared together.
void Trace(VoiceTrace& trace, double t, double spacing) {
    trace.spacing.Add(t, spacing);
    trace.histogram.Add(spacing);
    ++trace.datagrams;
}

}  // namespace

CallPhone::CallPhone(const CallSetup& setup, PhoneSocket socket)
    : setup_(setup), socket_(std::move(socket)), mode_(phone::ModeIdle) {
    result_.index = setup.index;
    sockaddr_in local = socket_.Bound();
    if (local.sin_addr.s_addr == htonl(INADDR_ANY)) {
        local.sin_addr = setup.shownSource;
    }
    result_.phone = EndpointText(local);
    result_.dialled = EndpointText(setup.to);
    result_.target = setup.target;
    if (setup.expected != nullptr) {
        voiceCheck_ = std::make_unique<VoiceCheck>(setup.expected);
    }
}

std::string CallPhone::Named(std::int16_t command) const {
    return command == phone::CmdRing ? "Ring" : command == phone::CmdTalk ? "Talk" : "Disconnect";
}

void CallPhone::Start(double now) {
    result_.ringT = now - setup_.origin;
    Request(phone::CmdRing, now);
}

void CallPhone::Request(phone::Command command, double now) {
    // The mode the window's button enters as it sends.
    mode_ = command == phone::CmdRing   ? phone::ModeCalling
            : command == phone::CmdTalk ? phone::ModeTalking
                                        : phone::ModeIdle;
    step_ = command == phone::CmdRing   ? Step::Ring
            : command == phone::CmdTalk ? Step::Talk
                                        : Step::Disconnect;
    std::array<std::uint8_t, phone::kRequestSize> request{};
    const std::uint16_t seq = phone::TakeRequestSeq(nextSeq_);
    phone::BuildRequest(request, command, seq, setup_.target);
    pending_ = Pending{command, seq, now, RealtimeSeconds(), now + setup_.timeout, std::nullopt};
    if (!socket_.Send(setup_.to, request)) {
        ++result_.sendErrors;
    }
}

double CallPhone::NextWake() const {
    double wake = pending_ ? pending_->deadline : kNever;
    if (streaming_) {
        wake = std::min(wake, schedule_.NextDeadline());
    }
    if (step_ == Step::Talking) {
        wake = std::min(wake, talkEnd_);
    }
    return wake;
}

void CallPhone::Act(double now) {
    if (streaming_ && now >= schedule_.NextDeadline()) {
        SendVoice();
    }
    if (pending_ && now >= pending_->deadline) {
        TimedOut(now);
    } else if (step_ == Step::Talking && now >= talkEnd_) {
        EndTalk(now);
    }
}

void CallPhone::SendVoice() {
    // The clock read here, not the loop's: with many calls due at once the last goes out later.
    const double now = MonotonicSeconds();
    const VoiceSchedule::Due due = schedule_.Take(now);
    const std::size_t length = std::min(phone::kVoicePayloadSize, setup_.play.size() - playOffset_);
    if (length == 0) {
        streaming_ = false;  // the file is used up; the talk time goes on
        return;
    }
    std::array<std::uint8_t, phone::kVoiceSize> datagram{};
    std::copy_n(setup_.play.begin() + static_cast<std::ptrdiff_t>(playOffset_), length,
                datagram.begin() + phone::kOffsetPayload);
    phone::BuildVoiceHeader(datagram, phone::VoiceSeq(nextSeq_), setup_.target,
                            static_cast<std::int16_t>(length));
    const double stamp = RealtimeSeconds();
    if (socket_.Send(setup_.to, datagram)) {
        ++voiceSent_;
        if (lastSentStamp_ >= 0) {
            sentSpacing_.Add(stamp - lastSentStamp_);
            if (setup_.report != nullptr) {
                Trace(setup_.report->sent, now - setup_.origin, stamp - lastSentStamp_);
            }
        }
        lastSentStamp_ = stamp;
    } else {
        ++result_.sendErrors;
    }
    phone::AdvanceVoiceSeq(nextSeq_);
    playOffset_ += length;
    result_.drift = now - due.deadline;
}

void CallPhone::Fail(Failure failure, std::string detail) {
    // The first failure is the reason; after a signal, the interruption is.
    if (result_.failure == Failure::None && !interrupted_) {
        result_.failure = failure;
        result_.detail = std::move(detail);
    }
}

void CallPhone::EndTalk(double now) {
    streaming_ = false;
    voiceEnd_ = now - setup_.origin;
    Request(phone::CmdDisconnect, now);
}

void CallPhone::TimedOut(double now) {
    const Pending pending = *pending_;
    pending_.reset();
    std::string detail = Named(pending.command) + ": no reply within " +
                         std::to_string(std::lround(setup_.timeout * 1000)) + " ms";
    if (pending.elsewhere) {
        Fail(Failure::ReplyFromElsewhere, detail + "; one came from " +
                                              EndpointText(*pending.elsewhere) + ", not from " +
                                              result_.dialled);
    } else {
        Fail(Failure::NoReply, detail);
    }
    if (pending.command == phone::CmdDisconnect) {
        step_ = Step::Done;
        result_.endT = now - setup_.origin;
    } else {
        EndTalk(now);
    }
}

void CallPhone::Replied(std::int16_t status, double latency, double now) {
    const Pending pending = *pending_;
    pending_.reset();
    const bool accepted = status == phone::StatusAccepted;
    const std::string refusal = Named(pending.command) + ": reply with status " +
                                std::to_string(status) + ", expected " +
                                std::to_string(phone::StatusAccepted);
    switch (pending.command) {
        case phone::CmdRing:
            result_.ringLatency = latency;
            result_.setup = now - pending.sent;
            if (!accepted) {
                Fail(Failure::Refused, refusal);
                EndTalk(now);
                return;
            }
            Request(phone::CmdTalk, now);
            if (!setup_.play.empty()) {
                // As the window's Talk button: the voice goes out from the moment it is pressed.
                streaming_ = true;
                schedule_ = VoiceSchedule(MonotonicSeconds());
            }
            return;
        case phone::CmdTalk:
            result_.talkLatency = latency;
            if (!accepted) {
                Fail(Failure::Refused, refusal);
                EndTalk(now);
                return;
            }
            step_ = Step::Talking;
            talkEnd_ = now + setup_.talkSeconds;
            if (setup_.talkSeconds <= 0) {
                EndTalk(now);
            }
            return;
        default:
            result_.disconnectLatency = latency;
            // After a failure the other side may well refuse it: the first reason stands.
            if (!accepted) {
                Fail(Failure::Refused, refusal);
            }
            step_ = Step::Done;
            result_.endT = now - setup_.origin;
    }
}

void CallPhone::Take(const Arrival& arrival, double now) {
    const DatagramLook look = LookAt(arrival.Bytes());
    const bool fromPeer = SameEndpoint(arrival.from, setup_.to);
    switch (look.kind) {
        case Kind::Reply: {
            const bool awaited = pending_ && look.header.Seq == pending_->seq &&
                                 look.header.Command == pending_->command;
            if (!fromPeer) {
                ++result_.unexpected;
                if (awaited && !pending_->elsewhere) {
                    pending_->elsewhere = arrival.from;
                }
            } else if (awaited && step_ != Step::Done) {
                Replied(look.header.Status, arrival.stamp - pending_->sentStamp, now);
            }
            break;
        }
        case Kind::Voice:
            if (fromPeer) {
                Received(arrival, look, now);
            } else {
                ++result_.unexpected;
            }
            break;
        case Kind::Request:
            if (fromPeer) {
                seq_.Take(look.header.Seq, false);
            }
            Answer(arrival, look);
            break;
        case Kind::Ignored:
            ++result_.unexpected;
            break;
    }
}

void CallPhone::Received(const Arrival& arrival, const DatagramLook& look, double now) {
    ++voiceReceived_;
    if (lastReceivedStamp_ >= 0) {
        const double spacing = arrival.stamp - lastReceivedStamp_;
        receivedSpacing_.Add(spacing);
        intervalSpacing_.push_back(static_cast<float>(spacing));
        if (setup_.report != nullptr) {
            Trace(setup_.report->received, now - setup_.origin, spacing);
        }
    }
    lastReceivedStamp_ = arrival.stamp;
    seq_.Take(look.header.Seq, true);
    if (voiceCheck_) {
        voiceCheck_->Take(look.header.Seq, now - setup_.origin,
                          phone::VoiceToStore(arrival.WindowBuffer()));
    }
}

void CallPhone::Answer(const Arrival& arrival, const DatagramLook& look) {
    // By the window's rules, as its phone would: the other side may end the call.
    const std::string remembered = AddressText(setup_.to.sin_addr);
    const phone::RequestAnswer answer =
        phone::AnswerRequest(mode_, remembered, look.header, AddressText(arrival.from.sin_addr));
    std::array<std::uint8_t, phone::kRequestSize> reply{};
    const auto bytes = arrival.Bytes();
    std::copy_n(bytes.begin(), std::min(bytes.size(), reply.size()), reply.begin());
    phone::SetStatus(reply, answer.status);
    if (!socket_.Send(setup_.to, reply)) {
        ++result_.sendErrors;
    }
    mode_ = answer.mode;
    const bool ended =
        answer.status == phone::StatusAccepted &&
        (look.header.Command == phone::CmdDisconnect || look.header.Command == phone::CmdHangUp);
    if (ended && step_ == Step::Talking) {
        EndTalk(MonotonicSeconds());
    }
}

void CallPhone::Interrupt(double now, double grace) {
    interrupted_ = true;
    if (result_.failure == Failure::None) {
        result_.failure = Failure::Interrupted;
        result_.detail = "interrupted by a signal";
    }
    if (step_ == Step::Done) {
        return;
    }
    if (step_ != Step::Disconnect) {
        EndTalk(now);
    }
    pending_->deadline = std::min(pending_->deadline, now + grace);
}

std::optional<double> CallPhone::TakeIntervalP99() {
    if (intervalSpacing_.empty()) {
        return std::nullopt;
    }
    const auto rank =
        static_cast<std::size_t>(std::ceil(0.99 * static_cast<double>(intervalSpacing_.size())));
    const auto at =
        intervalSpacing_.begin() + static_cast<std::ptrdiff_t>(std::max<std::size_t>(rank, 1) - 1);
    std::nth_element(intervalSpacing_.begin(), at, intervalSpacing_.end());
    const double p99 = *at;
    intervalSpacing_.clear();
    return p99;
}

CallResult CallPhone::Finish() {
    result_.voiceSent = voiceSent_;
    result_.voiceReceived = voiceReceived_;
    result_.sentSpacing = SpreadOf(sentSpacing_);
    result_.receivedSpacing = SpreadOf(receivedSpacing_);
    result_.stalls = schedule_.Stalls();
    result_.gaps = seq_.Gaps();
    result_.duplicates = seq_.Duplicates();
    result_.reordered = seq_.Reordered();
    result_.receiveDrops = socket_.Drops();
    if (result_.stalls > 0) {
        Fail(Failure::Stall, std::to_string(result_.stalls) + " voice sends more than " +
                                 std::to_string(std::lround(kVoicePeriod * 1000)) + " ms late");
    }
    if (voiceCheck_) {
        voiceCheck_->Finish(voiceEnd_);
        result_.voiceCheck = voiceCheck_->Json();
        const std::vector<std::string> reasons = voiceCheck_->Reasons(setup_.allowMissingPercent);
        if (!reasons.empty()) {
            Fail(Failure::VoiceCheck, reasons.front());
        }
        voiceCheck_.reset();
    }
    return result_;
}

}  // namespace peer
