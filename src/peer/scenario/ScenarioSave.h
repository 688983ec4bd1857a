#pragma once
// --save: the caller's side of a call, written as a scenario that replays it against an answering
// endpoint. What the caller sent becomes the steps to send (its voice one stream step, the file
// and the chunk count), what reached the caller becomes the expectations, and pauses longer than
// 20 ms become waits. From `call` the caller is this peer; from `answer` it is the other side.
// Each step is written as soon as it is known (ScenarioWriter).

#include <netinet/in.h>

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "peer/Files.h"
#include "peer/scenario/ScenarioWriter.h"
#include "peer/session/Wire.h"

namespace peer {

class ScenarioRecorder final : public DatagramTap {
  public:
    ~ScenarioRecorder() override;
    ScenarioRecorder(const ScenarioRecorder&) = delete;
    ScenarioRecorder& operator=(const ScenarioRecorder&) = delete;

    struct Setup {
        std::string path;
        // call: this peer calls `other`, and only datagrams from `other` reached it as a caller.
        // answer: the first sender is the caller; others send with from= in the scenario.
        bool thisPeerCalls = true;
        std::optional<in_addr> other;
        // call: the file this peer streams. answer: the --record file (or none), which the
        // stream steps name for as long as it holds exactly the caller's stream.
        std::string voiceFile;
        int withinMs = 1000;    // for the expectations of replies
        std::string firstLine;  // what the scenario was saved from
        double runOrigin = 0;   // monotonic seconds that event times count from
    };
    // Makes the file now, before anything is sent; UsageError naming --save when it cannot, or
    // when a name it must write holds a line break.
    explicit ScenarioRecorder(Setup setup);

    void OnDatagram(const DatagramEvent& event) override;
    // A voice chunk of this peer's own schedule, before any impairment (call).
    void OnScheduledVoice(std::span<const std::uint8_t> chunk);

    // Writes what only the end can tell and gives the scenario its final form; the message when
    // it cannot be written.
    std::optional<std::string> Finish();

  private:
    // Where the caller's stream is read from again (answer): each file holds exactly the voice
    // bytes of the chunks its stream steps name, one after the other. A chunk shorter than 400
    // bytes ends its file, as the replay would read on past it.
    struct StreamFile {
        std::string path;
        std::string written;  // as a stream step names it
        bool own = true;      // written here; else the --record file, written by the session
        bool ended = false;
        std::uint64_t chunks = 0;
    };

    void Caller(const DatagramEvent& event);
    void CallerSent(double t, std::span<const std::uint8_t> bytes, const DatagramLook& look,
                    const std::optional<std::string>& from);
    void CallerReceived(double t, const DatagramLook& look, std::size_t size);
    void StreamChunk(double t, const phone::PhoneDatagram& header, bool newFile = false);
    // The caller's voice chunk goes into a stream file: false when it cannot.
    bool Streamed(const DatagramEvent& event);
    bool OpenStreamFile();
    void CloseStreamFile();
    // The wait and, unless the step is a stream, the voice expectation that go before the
    // caller's next step.
    void BeforeStep(double t, bool stream = false);
    void ExpectVoiceBack();
    void EndStream();

    Setup setup_;
    ScenarioWriter writer_;
    std::string voiceWritten_;
    std::optional<in_addr> caller_;
    std::optional<double> boundary_;  // when the last step was done
    std::uint64_t voiceBack_ = 0;
    bool voiceBackOtherTarget_ = false;
    struct Stream {
        std::uint64_t chunks = 0;
        double start = 0, last = 0;
    };
    std::optional<Stream> stream_;
    std::vector<StreamFile> streamFiles_;
    int streamFd_ = -1;  // the last of its own, while it takes chunks
    std::optional<std::string> streamFault_;
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
