#include "peer/scenario/ScenarioSave.h"

#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <utility>

#include "peer/Addresses.h"
#include "peer/Clock.h"
#include "peer/PeerError.h"
#include "peer/scenario/Scenario.h"
#include "peer/session/VoiceStream.h"
#include "phone/CallRules.h"

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

// A chunk as `stream` sends it, byte for byte: 416 bytes, "zelk", voice (Command 10, Status 0)
// with 1 to 400 voice bytes, and zeros after them.
bool StreamShaped(std::span<const std::uint8_t> bytes, const DatagramLook& look) {
    if (look.kind != Kind::Voice || bytes.size() != phone::kVoiceSize || !ZelkMagic(bytes) ||
        look.header.Length < 1 ||
        look.header.Length > static_cast<std::int16_t>(phone::kVoicePayloadSize)) {
        return false;
    }
    const auto after = bytes.subspan(phone::kOffsetPayload + look.header.Length);
    return std::all_of(after.begin(), after.end(), [](std::uint8_t byte) { return byte == 0; });
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

// A file as a step names it: from the scenario's folder, so the two can move together.
std::string NameFrom(const std::string& scenario, const std::string& file) {
    std::error_code error;
    std::filesystem::path folder = std::filesystem::path(scenario).parent_path();
    folder = std::filesystem::absolute(folder.empty() ? "." : folder, error);
    const auto absolute = std::filesystem::absolute(file, error);
    const auto relative = std::filesystem::proximate(absolute, folder, error);
    return QuotedPath(error ? absolute.string() : relative.string());
}

// The names a scenario holds are checked before its file is made: a line break cannot be
// written in one.
ScenarioRecorder::Setup Checked(ScenarioRecorder::Setup setup) {
    const char* voiceOption = setup.thisPeerCalls ? "--play" : "--record";
    for (const auto& [name, option] :
         {std::pair{&setup.path, "--save"}, std::pair{&setup.voiceFile, voiceOption}}) {
        if (name->find('\n') != std::string::npos) {
            throw UsageError("--save: the name given to " + std::string(option) +
                             " holds a line break, which a scenario cannot hold");
        }
    }
    std::replace(setup.firstLine.begin(), setup.firstLine.end(), '\n', ' ');
    return setup;
}

// Pauses as wait steps, none longer than a wait may be.
void Waits(ScenarioWriter& writer, double seconds) {
    constexpr long long kLongest = 86'400'000;
    long long ms = std::llround(seconds * 1000);
    do {
        writer.Line("wait " + std::to_string(std::min(ms, kLongest)));
        ms -= std::min(ms, kLongest);
    } while (ms > 0);
}

// Stream files of the recorder's own beside the scenario; past this many the caller's voice is
// saved datagram by datagram.
constexpr std::size_t kStreamFiles = 100;

}  // namespace

ScenarioRecorder::ScenarioRecorder(Setup setup)
    : setup_(Checked(std::move(setup))), writer_(setup_.path) {
    writer_.Line("# " + setup_.firstLine);
    writer_.Line("# Replay: udpphone-peer run " + QuotedPath(setup_.path) + " HOST[:PORT]");
    if (setup_.thisPeerCalls) {
        caller_ = in_addr{};
        if (!setup_.voiceFile.empty()) {
            voiceWritten_ = NameFrom(setup_.path, setup_.voiceFile);
            std::error_code error;
            const auto size = std::filesystem::file_size(setup_.voiceFile, error);
            if (!error) {
                fileChunks_ = (size + phone::kVoicePayloadSize - 1) / phone::kVoicePayloadSize;
            }
        }
        return;
    }
    // The --record file holds what the window stores, which is the caller's stream as long as
    // nothing else came; a pipe cannot be read again at all.
    std::error_code error;
    if (!setup_.voiceFile.empty() && setup_.voiceFile != "-" &&
        std::filesystem::is_regular_file(setup_.voiceFile, error)) {
        streamFiles_.push_back({setup_.voiceFile, NameFrom(setup_.path, setup_.voiceFile), false});
    } else if (!OpenStreamFile()) {
        throw UsageError(*streamFault_);
    }
}

ScenarioRecorder::~ScenarioRecorder() {
    CloseStreamFile();
}

bool ScenarioRecorder::OpenStreamFile() {
    CloseStreamFile();
    const auto own = static_cast<std::size_t>(std::count_if(
        streamFiles_.begin(), streamFiles_.end(), [](const StreamFile& file) { return file.own; }));
    if (own >= kStreamFiles) {
        return false;
    }
    const std::string path =
        setup_.path + (own == 0 ? "" : "." + std::to_string(own + 1)) + ".voice";
    try {
        streamFd_ = OpenToWrite(path, "--save").Release();
    } catch (const UsageError& error) {
        streamFault_ = streamFault_.value_or(error.what());
        return false;
    }
    streamFiles_.push_back({path, NameFrom(setup_.path, path), true});
    return true;
}

void ScenarioRecorder::CloseStreamFile() {
    if (streamFd_ >= 0) {
        ::close(streamFd_);
        streamFd_ = -1;
    }
}

bool ScenarioRecorder::Streamed(const DatagramEvent& event) {
    bool newFile = false;
    if (streamFiles_.empty() || streamFiles_.back().ended) {
        if (!OpenStreamFile()) {
            return false;
        }
        newFile = true;
    }
    StreamFile& file = streamFiles_.back();
    const auto length = static_cast<std::size_t>(event.look.header.Length);
    if (file.own && !WriteAll(streamFd_, event.bytes.data() + phone::kOffsetPayload, length)) {
        streamFault_ =
            streamFault_.value_or(SystemMessage("--save: cannot write \"" + file.path + "\""));
        file.ended = true;
        CloseStreamFile();
        return false;
    }
    ++file.chunks;
    // The replay reads 400 bytes a chunk: after a shorter one only the file's end may come.
    if (length < phone::kVoicePayloadSize) {
        file.ended = true;
        if (file.own) {
            CloseStreamFile();
        }
    }
    voiceWritten_ = file.written;
    StreamChunk(event.t, event.look.header, newFile);
    return true;
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
    Caller(event);
}

void ScenarioRecorder::Caller(const DatagramEvent& event) {
    std::optional<std::string> from;
    if (event.peer.sin_addr.s_addr != caller_->s_addr) {
        from = AddressText(event.peer.sin_addr);
    }
    const bool intoRecord =
        !streamFiles_.empty() && !streamFiles_.back().ended && !streamFiles_.back().own;
    const bool streamed = !from && StreamShaped(event.bytes, event.look) && Streamed(event);
    if (!streamed) {
        CallerSent(event.t, event.bytes, event.look, from);
    }
    // The session stores every voice datagram in --record as the window does: what no stream
    // step names ends the file's use for streams.
    if (event.look.kind == Kind::Voice && !(streamed && intoRecord) &&
        event.windowBuffer != nullptr && !streamFiles_.empty() && !streamFiles_.front().own &&
        !phone::VoiceToStore(std::span<const std::uint8_t, phone::kReceiveBufferSize>(
                                 event.windowBuffer, phone::kReceiveBufferSize))
             .empty()) {
        streamFiles_.front().ended = true;
    }
}

void ScenarioRecorder::OnScheduledVoice(std::span<const std::uint8_t> chunk) {
    StreamChunk(MonotonicSeconds() - setup_.runOrigin, phone::ReadHeader(chunk));
}

void ScenarioRecorder::BeforeStep(double t, bool stream) {
    if (boundary_) {
        const bool usedUp = fileChunks_ && chunksStreamed_ >= *fileChunks_;
        // The replay sends a chunk each period; chunks that came faster are still going out then.
        const double replayedLast =
            stream_
                ? std::max(stream_->last,
                           stream_->start + static_cast<double>(stream_->chunks - 1) * kVoicePeriod)
                : 0;
        if (stream_ && (usedUp || t < replayedLast + kVoicePeriod ||
                        (t >= stream_->last && t - stream_->last <= 2 * kVoicePeriod))) {
            writer_.Line("wait stream");
            // The stream ends a period after its last chunk; a caller that talked on, silent,
            // keeps that time. Less than two periods is the time it takes to notice the end.
            const double after = t - (replayedLast + kVoicePeriod);
            if (after >= 2 * kVoicePeriod) {
                Waits(writer_, after);
            }
        } else if (t - *boundary_ >= kShortestWait) {
            Waits(writer_, t - *boundary_);
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
        writer_.Line("expect voice count=" + std::to_string(voiceBack_) +
                     (voiceBackOtherTarget_ ? " target=any" : ""));
        voiceBack_ = 0;
        voiceBackOtherTarget_ = false;
    }
}

void ScenarioRecorder::EndStream() {
    if (stream_) {
        writer_.EndCount();
        stream_.reset();
    }
}

void ScenarioRecorder::StreamChunk(double t, const phone::PhoneDatagram& header, bool newFile) {
    const std::uint16_t seq = phone::VoiceSeq(nextSeq_);
    if (!stream_ || newFile || header.Seq != seq || !Same16(header.Target, target_)) {
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
        writer_.CountedLine(text, 1);
        stream_ = Stream{1, t, t};
        boundary_ = t;
    } else {
        writer_.Count(++stream_->chunks);
    }
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
    writer_.Line(text);
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
    writer_.Line(text);
    boundary_ = t;
}

std::optional<std::string> ScenarioRecorder::Finish() {
    // The run ends with its last step, stopping a stream: one that was still going goes on.
    if (stream_) {
        writer_.Line("wait stream");
    }
    ExpectVoiceBack();
    EndStream();
    CloseStreamFile();
    // A stream file of its own that no step names is not left behind.
    for (const StreamFile& file : streamFiles_) {
        if (file.own && file.chunks == 0) {
            std::error_code ignored;
            std::filesystem::remove(file.path, ignored);
        }
    }
    const std::optional<std::string> fault = writer_.Finish();
    return fault ? fault : streamFault_;
}

}  // namespace peer
