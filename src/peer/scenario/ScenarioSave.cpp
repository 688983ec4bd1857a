#include "peer/scenario/ScenarioSave.h"

#include <algorithm>
#include <cmath>
#include <filesystem>

#include "peer/Addresses.h"
#include "peer/Clock.h"
#include "peer/PeerError.h"
#include "peer/scenario/Scenario.h"
#include "peer/session/VoiceStream.h"

namespace peer {
namespace {

// Pauses shorter than this are the time a step takes, not a wait of the caller's.
constexpr double kShortestWait = 0.020;

bool Same16(std::int32_t a, std::int32_t b) {
    return static_cast<std::uint16_t>(a) == static_cast<std::uint16_t>(b);
}

bool ZelkMagic(std::span<const std::uint8_t> bytes) {
    return bytes.size() >= 4 && std::equal(bytes.begin(), bytes.begin() + 4, phone::kMagic);
}

// A chunk of a stream as `stream` sends it: 416 bytes, "zelk", 1 to 400 voice bytes.
bool StreamVoice(std::span<const std::uint8_t> bytes, const DatagramLook& look) {
    return look.kind == Kind::Voice && bytes.size() == phone::kVoiceSize && ZelkMagic(bytes) &&
           look.header.Length >= 1 &&
           look.header.Length <= static_cast<std::int16_t>(phone::kVoicePayloadSize);
}

std::string HexText(std::span<const std::uint8_t> bytes) {
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string text;
    text.reserve(bytes.size() * 2);
    for (const std::uint8_t byte : bytes) {
        text += kDigits[byte >> 4];
        text += kDigits[byte & 0xF];
    }
    return text;
}

}  // namespace

ScenarioRecorder::ScenarioRecorder(Setup setup)
    : setup_(std::move(setup)), file_(OpenToWrite(setup_.path, "--save")) {
    if (setup_.thisPeerCalls) {
        caller_ = in_addr{};
    }
    if (!setup_.voiceFile.empty()) {
        // Named from the scenario's folder, so the two can move together.
        std::error_code error;
        std::filesystem::path folder = std::filesystem::path(setup_.path).parent_path();
        folder = std::filesystem::absolute(folder.empty() ? "." : folder, error);
        const auto voice = std::filesystem::absolute(setup_.voiceFile, error);
        const auto relative = std::filesystem::proximate(voice, folder, error);
        voiceWritten_ = QuotedPath(error ? voice.string() : relative.string());
        const auto size = std::filesystem::file_size(setup_.voiceFile, error);
        if (setup_.thisPeerCalls && !error) {
            fileChunks_ = (size + phone::kVoicePayloadSize - 1) / phone::kVoicePayloadSize;
        }
    }
}

void ScenarioRecorder::OnDatagram(const DatagramEvent& event) {
    if (setup_.thisPeerCalls) {
        if (event.outgoing) {
            // This peer's voice comes from its schedule, before impairments (OnScheduledVoice).
            if (event.look.kind != Kind::Voice) {
                CallerSent(event.t, event.bytes, event.look, std::nullopt);
            }
        } else if (setup_.other && event.peer.sin_addr.s_addr == setup_.other->s_addr) {
            CallerReceived(event.t, event.look, event.bytes.size());
        }
        return;
    }
    if (!caller_) {
        if (event.outgoing) {
            return;
        }
        caller_ = event.peer.sin_addr;
    }
    if (event.outgoing) {
        if (event.peer.sin_addr.s_addr == caller_->s_addr) {
            CallerReceived(event.t, event.look, event.bytes.size());
        }
        return;
    }
    std::optional<std::string> from;
    if (event.peer.sin_addr.s_addr != caller_->s_addr) {
        from = AddressText(event.peer.sin_addr);
    }
    if (!from && StreamVoice(event.bytes, event.look)) {
        StreamChunk(event.t, event.look.header);
    } else {
        CallerSent(event.t, event.bytes, event.look, from);
    }
}

void ScenarioRecorder::OnScheduledVoice(std::span<const std::uint8_t> chunk) {
    StreamChunk(MonotonicSeconds() - setup_.runOrigin, phone::ReadHeader(chunk));
}

void ScenarioRecorder::BeforeStep(double t, bool stream) {
    if (boundary_) {
        const bool usedUp = fileChunks_ && chunksStreamed_ >= *fileChunks_;
        if (stream_ && (usedUp || (t >= stream_->last && t - stream_->last <= 2 * kVoicePeriod))) {
            lines_.push_back("wait stream");
            // The stream ends a period after its last chunk; a caller that talked on, silent,
            // keeps that time. Less than two periods is the time it takes to notice the end.
            const double after = t - (stream_->last + kVoicePeriod);
            if (after >= 2 * kVoicePeriod) {
                lines_.push_back("wait " + std::to_string(std::llround(after * 1000)));
            }
        } else if (t - *boundary_ >= kShortestWait) {
            lines_.push_back("wait " + std::to_string(std::llround((t - *boundary_) * 1000)));
        }
    }
    // Starting a stream does not wait for anything: voice that came before it is expected at
    // the next step that does, which takes all voice that came.
    if (!stream) {
        ExpectVoiceBack();
    }
    EndStream();
}

void ScenarioRecorder::ExpectVoiceBack() {
    if (voiceBack_ > 0) {
        lines_.push_back("expect voice count=" + std::to_string(voiceBack_) +
                         (voiceBackOtherTarget_ ? " target=any" : ""));
        voiceBack_ = 0;
        voiceBackOtherTarget_ = false;
    }
}

void ScenarioRecorder::EndStream() {
    if (stream_) {
        lines_[stream_->line] += " chunks=" + std::to_string(stream_->chunks);
        stream_.reset();
        streamed_ = true;
    }
}

void ScenarioRecorder::StreamChunk(double t, const phone::PhoneDatagram& header) {
    const std::uint16_t seq = phone::VoiceSeq(nextSeq_);
    if (!stream_ || header.Seq != seq || !Same16(header.Target, target_)) {
        BeforeStep(t, true);
        std::string text = "stream " + voiceWritten_;
        if (header.Seq != seq) {
            text += " seq=" + std::to_string(header.Seq);
            nextSeq_ = header.Seq;
        }
        if (!Same16(header.Target, target_)) {
            text += " target=" + std::to_string(header.Target);
            target_ = header.Target;
        }
        lines_.push_back(text);
        stream_ = Stream{lines_.size() - 1, 0, t};
        boundary_ = t;
    }
    ++stream_->chunks;
    ++chunksStreamed_;
    stream_->last = t;
    phone::AdvanceVoiceSeq(nextSeq_);
}

void ScenarioRecorder::CallerSent(double t, std::span<const std::uint8_t> bytes,
                                  const DatagramLook& look,
                                  const std::optional<std::string>& from) {
    BeforeStep(t);
    std::string text;
    if (bytes.size() == phone::kRequestSize && ZelkMagic(bytes)) {
        const phone::PhoneDatagram& header = look.header;
        text = "send " + CommandName(header.Command);
        if (header.Status != 0) {
            text += " status=" + std::to_string(header.Status);
        }
        if (!Same16(header.Target, target_)) {
            text += " target=" + std::to_string(header.Target);
        }
        target_ = header.Target;
        if (header.Seq != static_cast<std::uint16_t>(nextSeq_)) {
            text += " seq=" + std::to_string(header.Seq);
            nextSeq_ = header.Seq;
        }
        phone::TakeRequestSeq(nextSeq_);
    } else {
        text = "send hex=" + HexText(bytes);
    }
    if (from) {
        text += " from=" + *from;
    }
    lines_.push_back(text);
    boundary_ = t;
}

void ScenarioRecorder::CallerReceived(double t, const DatagramLook& look, std::size_t size) {
    std::string text;
    switch (look.kind) {
        case Kind::Voice:
            ++voiceBack_;
            voiceBackOtherTarget_ = voiceBackOtherTarget_ || !Same16(look.header.Target, target_);
            return;
        case Kind::Reply:
        case Kind::Request:
            text = std::string("expect ") + KindName(look.kind) + " " +
                   CommandName(look.header.Command);
            if (look.kind == Kind::Reply) {
                text += " status=" + std::to_string(look.header.Status);
            }
            if (!Same16(look.header.Target, target_)) {
                text += " target=" + std::to_string(look.header.Target);
            }
            if (setup_.withinMs != 1000) {
                text += " within=" + std::to_string(setup_.withinMs);
            }
            break;
        case Kind::Ignored:
            text = "expect ignored size=" + std::to_string(size);
            break;
    }
    lines_.push_back(text);
    boundary_ = t;
}

std::optional<std::string> ScenarioRecorder::Finish() {
    // The run ends with its last step, stopping a stream: one that was still going goes on.
    if (stream_) {
        lines_.push_back("wait stream");
    }
    ExpectVoiceBack();
    EndStream();
    std::string text = "# " + setup_.firstLine + "\n";
    text += "# Replay: udpphone-peer run " + QuotedPath(setup_.path) + " HOST[:PORT]\n";
    for (const std::string& line : lines_) {
        text += line + "\n";
    }
    const int fd = file_.Release();
    FileHandle closer(fd);
    if (!WriteAll(fd, text.data(), text.size())) {
        return SystemMessage("--save: cannot write \"" + setup_.path + "\"");
    }
    return std::nullopt;
}

}  // namespace peer
