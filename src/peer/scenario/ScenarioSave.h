#pragma once
// --save: the caller's side of a call, written as a scenario that replays it against an answering
// endpoint. What the caller sent becomes the steps to send (its voice one stream step, the file
// and the chunk count), what reached the caller becomes the expectations, and pauses longer than
// 20 ms become waits. From `call` the caller is this peer; from `answer` it is the other side.

#include <netinet/in.h>

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "peer/Files.h"
#include "peer/session/Wire.h"

namespace peer {

class ScenarioRecorder final : public DatagramTap {
  public:
    struct Setup {
        std::string path;
        // call: this peer calls `other`, and only datagrams from `other` reached it as a caller.
        // answer: the first sender is the caller; others send with from= in the scenario.
        bool thisPeerCalls = true;
        std::optional<in_addr> other;
        std::string voiceFile;  // the file the caller's stream steps name
        int withinMs = 1000;    // for the expectations of replies
        std::string firstLine;  // what the scenario was saved from
        double runOrigin = 0;   // monotonic seconds that event times count from
    };
    // Makes the file now, before anything is sent; UsageError naming --save when it cannot.
    explicit ScenarioRecorder(Setup setup);

    void OnDatagram(const DatagramEvent& event) override;
    // A voice chunk of this peer's own schedule, before any impairment (call).
    void OnScheduledVoice(std::span<const std::uint8_t> chunk);

    // Whether a stream step was written.
    bool Streamed() const { return streamed_; }
    // Writes the scenario; the message when it cannot be written.
    std::optional<std::string> Finish();

  private:
    void CallerSent(double t, std::span<const std::uint8_t> bytes, const DatagramLook& look,
                    const std::optional<std::string>& from);
    void CallerReceived(double t, const DatagramLook& look, std::size_t size);
    void StreamChunk(double t, const phone::PhoneDatagram& header);
    // The wait and, unless the step is a stream, the voice expectation that go before the
    // caller's next step.
    void BeforeStep(double t, bool stream = false);
    void ExpectVoiceBack();
    void EndStream();

    Setup setup_;
    FileHandle file_;
    std::string voiceWritten_;
    std::optional<in_addr> caller_;
    std::vector<std::string> lines_;
    std::optional<double> boundary_;  // when the last step was done
    std::uint64_t voiceBack_ = 0;
    bool voiceBackOtherTarget_ = false;
    struct Stream {
        std::size_t line = 0;
        std::uint64_t chunks = 0;
        double last = 0;
    };
    std::optional<Stream> stream_;
    bool streamed_ = false;
    // This peer's own file (call): its chunks, and how many of them were streamed, so that a
    // step after the file ran out waits for the stream, however late the step came.
    std::optional<std::uint64_t> fileChunks_;
    std::uint64_t chunksStreamed_ = 0;
    // The replay's Seq counter and target, step by step, so that seq= and target= are written
    // only where the replay would not give the same by itself.
    std::int32_t nextSeq_ = 1;
    std::int32_t target_ = 1;
};

}  // namespace peer
