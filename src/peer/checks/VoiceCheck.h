#pragma once
// Holds the voice that arrived against the file that was sent, chunk by chunk: each received
// voice datagram's stored bytes (what the window writes of it, phone::VoiceToStore) are matched
// to the 400-byte chunk of the file they carry.
//
// How a received chunk finds its place. Content decides: a chunk matches only a chunk of the file
// whose bytes it carries exactly, looked for up to 64 chunks either way of the next one expected.
// Where several nearby chunks of the file hold the same bytes (silence, a looping tone), content
// cannot tell them apart, and the Seq decides: the chunk the sender's numbering points to (counted
// from the last chunk that moved the stream forward, by the voice rule that skips Seq 0) is taken
// first when its bytes match, then the next one expected, then the match nearest the Seq's choice
// (one not yet received before one already received, the earlier before the later). A match the
// Seq points to further ahead than 64 chunks is taken too: exact bytes at the very place the
// numbering names are a long loss, not a corruption. So a duplicate, which repeats its Seq, is a
// repeat even in silence, and a drop, which skips Seq numbers, leaves its chunks missing. The
// first chunk of a stream has no Seq to go by: it is taken as the earliest of the file's first 65
// chunks it matches, so in silence a stream joined mid-file counts from the file's start.
//
// The file's last chunk may be short: it matches a chunk of exactly its length (as the window and
// this peer send it, Length the bytes read) or a full 400 bytes that pad it with zeros. Any other
// length matches nothing. A chunk of that short length can only be the file's end, and is taken
// as it wherever the stream stood.
//
// A chunk that matches nothing nearby is corrupted. If the Seq places it on a chunk not yet
// received, it takes that chunk's place, so one damaged chunk is counted once, as corrupted, and
// not also as missing.
//
// The stream starting over: a chunk that carries one of the file's first 65 chunks, and matches
// nothing nearby or (once the stream has reached the file's end) only a chunk already received
// under another Seq, begins a new pass over the file (a second call of a device that plays its
// file from the start each time, or a file played in a loop). Within the first
// pass, a first chunk found nowhere near the start is taken as where the stream began (a call
// joined mid-file): the chunks before it are not counted missing.
//
// Missing chunks are only those that could have arrived: a chunk is missing when a later one of
// the same pass arrived and it never did (final once the stream is 64 chunks past it). Beyond the
// last chunk received, chunks count missing only when the caller says until when the voice was
// due (the call's end) and, at 47 ms each from the last one received, they were due at least a
// second before that; a stream that restarted leaves the rest of the earlier pass uncounted.
//
// Each Take costs O(1) amortised: chunks are found by a hash of their bytes, and the window search
// starts at the Seq's choice, which is right at once for any stream that is merely in order.

#include <cstdint>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <span>
#include <string>
#include <unordered_map>
#include <vector>

#include "phone/PhoneDatagram.h"

namespace peer {

class VoiceCheck {
  public:
    static constexpr std::size_t kChunk = phone::kVoicePayloadSize;
    static constexpr std::int64_t kReach = 64;
    static constexpr double kPeriod = 0.047;
    // How long before the voice's end a chunk beyond the last received must have been due to
    // count as missing.
    static constexpr double kTailGrace = 1.0;
    // Events beyond this many are counted but not kept.
    static constexpr std::size_t kEventLimit = 100'000;

    // The file cut into chunks, with an index of their contents: it only reads, so one serves
    // every check of the same file (many calls at once).
    struct Expected {
        explicit Expected(std::vector<std::uint8_t> bytes);
        std::size_t ChunkLength(std::uint64_t chunk) const;
        std::uint32_t ContentOf(std::span<const std::uint8_t> stored) const;

        std::vector<std::uint8_t> file;
        std::uint64_t chunks = 0;
        // Each chunk's content: chunks with the same bytes (the last one padded with zeros) share
        // one.
        std::vector<std::uint32_t> contentOf;
        std::vector<std::uint32_t> firstWithContent;
        std::vector<std::uint32_t> nextSameHash;
        std::unordered_map<std::uint64_t, std::uint32_t> contentByHash;
    };

    explicit VoiceCheck(std::vector<std::uint8_t> expected);
    explicit VoiceCheck(std::shared_ptr<const Expected> expected);

    // One received voice datagram: its Seq, its time on the run's clock (seconds) and the bytes
    // the window stores of it.
    void Take(std::uint16_t seq, double t, std::span<const std::uint8_t> stored);

    // Ends the check; `voiceEnd` is when the other side's voice stopped being due (the call's
    // end on the same clock), if known. Later Takes are ignored.
    void Finish(std::optional<double> voiceEnd);

    struct Counts {
        std::uint64_t expected = 0;  // chunks in the file
        std::uint64_t received = 0;  // = matched + repeated + corrupted
        std::uint64_t matched = 0;   // each chunk of each pass once, in order or not
        std::uint64_t missing = 0;
        std::uint64_t repeated = 0;
        std::uint64_t outOfOrder = 0;  // among the matched
        std::uint64_t corrupted = 0;
        std::uint64_t restarts = 0;
    };
    const Counts& Figures() const { return counts_; }

    struct Corruption {
        std::uint16_t seq = 0;
        double t = 0;
        std::uint64_t chunk = 0;      // the chunk of the file it stood for
        std::uint64_t differsAt = 0;  // offset in the file of its first byte that differs
    };
    const std::optional<Corruption>& FirstCorrupted() const { return firstCorrupted_; }

    // For the Seq picture: where chunks went wrong. A missing chunk's Seq and time are estimated
    // from its neighbours. In time order after Finish.
    enum class EventKind { Corrupted, Missing };
    struct Event {
        double t = 0;
        std::uint16_t seq = 0;
        std::uint64_t chunk = 0;
        EventKind kind = EventKind::Missing;
    };
    const std::vector<Event>& Events() const { return events_; }
    std::uint64_t EventsLeftOut() const { return eventsLeftOut_; }

    // The summary's "voice_check" object.
    nlohmann::ordered_json Json() const;

    // Why the check fails; none when it passes. Any corrupted chunk fails; missing chunks fail
    // when more than `allowMissingPercent` of those that could have arrived (matched, corrupted
    // or missing); a file with voice in it of which none arrived fails.
    std::vector<std::string> Reasons(double allowMissingPercent) const;

  private:
    static constexpr std::uint32_t kNone = UINT32_MAX;

    std::size_t ChunkLength(std::uint64_t chunk) const;
    std::uint32_t ContentOf(std::span<const std::uint8_t> stored) const;
    bool Fits(std::int64_t chunk, std::uint32_t content, std::size_t length) const;
    std::optional<std::int64_t> Place(std::int64_t predicted, std::uint32_t content,
                                      std::size_t length) const;
    std::optional<std::int64_t> NearStart(std::uint32_t content, std::size_t length) const;
    std::int64_t Predicted(std::uint16_t seq) const;

    void StartPass(std::int64_t chunk, std::uint16_t seq, double t, bool fromStart);
    void Accept(std::int64_t chunk, std::uint16_t seq, double t);
    void Advance(std::int64_t chunk, std::uint16_t seq, double t);
    void Corrupt(std::uint16_t seq, double t, std::span<const std::uint8_t> stored);
    void SettleHoles(bool all);
    void Record(const Event& event);

    std::shared_ptr<const Expected> expected_;
    std::uint64_t chunks_ = 0;

    // The pass a chunk arrived in (0: never) and the Seq it came with.
    std::vector<std::uint32_t> takenIn_;
    std::vector<std::uint16_t> seqOf_;
    std::uint32_t pass_ = 1;
    std::int64_t passStart_ = 0;
    std::int64_t frontier_ = 0;  // one past the furthest chunk taken in this pass
    bool anchored_ = false;
    std::int64_t anchorChunk_ = 0;
    std::uint16_t anchorSeq_ = 0;
    double anchorT_ = 0;
    // Chunks passed over in this pass that may still arrive late.
    struct Hole {
        std::int64_t chunk;
        std::uint16_t seq;
        double t;
    };
    std::vector<Hole> holes_;
    std::size_t holesFront_ = 0;

    Counts counts_;
    std::optional<Corruption> firstCorrupted_;
    std::vector<Event> events_;
    std::uint64_t eventsLeftOut_ = 0;
    bool finished_ = false;
};

}  // namespace peer
