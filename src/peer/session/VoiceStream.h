#pragma once
// The outgoing voice stream, and the one place it is scheduled: chunk after chunk of a file, each
// due at an absolute deadline (the start plus its slot times 47 ms), so that no error adds up.
// A late wake-up sends the due chunk at once and the next keeps its own deadline; a stall longer
// than a period is counted and the schedule goes on from the next due slot, never as a burst.

#include <sys/types.h>
#include <cstdint>
#include <optional>
#include <span>

#include "phone/PhoneDatagram.h"

namespace peer {

inline constexpr double kVoicePeriod = 0.047;

class VoiceSchedule {
  public:
    explicit VoiceSchedule(double start = 0, double period = kVoicePeriod)
        : start_(start), period_(period) {}

    double NextDeadline() const { return Deadline(slot_); }
    double Deadline(std::uint64_t slot) const {
        return start_ + static_cast<double>(slot) * period_;
    }

    // The slot due at `now` (not before NextDeadline()); the schedule moves past it.
    struct Due {
        std::uint64_t slot = 0;
        double deadline = 0;
    };
    Due Take(double now);

    std::uint64_t Stalls() const { return stalls_; }

  private:
    double start_;
    double period_;
    std::uint64_t slot_ = 0;
    std::uint64_t stalls_ = 0;
};

// Where a due chunk goes: the wire, or whatever stands between the schedule and the wire.
class VoiceOutlet {
  public:
    virtual ~VoiceOutlet() = default;
    virtual void Emit(std::span<const std::uint8_t> datagram, double deadline) = 0;
    // The schedule woke at `now` (monotonic seconds) more than a period late: a stall.
    virtual void Stalled(double /*now*/) {}
};

// Streams a file as voice datagrams while it is running, from a place of its own in it, so that
// several streams can read one descriptor. Pausing keeps the file's place, as the window does when
// the call leaves the talking state.
class VoiceStream {
  public:
    // `owned`: the stream closes `fd` when it goes.
    VoiceStream(int fd, VoiceOutlet& outlet, bool owned = true)
        : fd_(fd), owned_(owned), outlet_(&outlet) {}
    ~VoiceStream();
    VoiceStream(const VoiceStream&) = delete;
    VoiceStream& operator=(const VoiceStream&) = delete;

    // (Re)starts the schedule: the next chunk is due at `now`. With `chunks`, the stream pauses
    // by itself after that many more, keeping its place.
    void Start(double now, std::optional<std::uint64_t> chunks = std::nullopt);
    void Pause() { running_ = false; }
    bool Running() const { return running_ && !finished_; }
    // The file is used up: a read at a deadline found nothing more.
    bool Finished() const { return finished_; }
    double NextDeadline() const { return schedule_.NextDeadline(); }
    // Back to the file's start, for a file that was used up; it stays used up where the file
    // cannot be sought.
    void Rewind();

    // At or after NextDeadline(): reads the next chunk and sends it with the next Seq (by the
    // voice rule) and `target`.
    void SendDue(double now, std::int32_t& nextSeq, std::int32_t target);

    // The last chunk's lateness against its deadline, and the stalls counted so far.
    double Drift() const { return drift_; }
    std::uint64_t Stalls() const { return stallsBefore_ + schedule_.Stalls(); }

  private:
    int fd_;
    bool owned_;
    off_t offset_ = 0;
    VoiceOutlet* outlet_;
    VoiceSchedule schedule_;
    bool running_ = false;
    bool finished_ = false;
    std::optional<std::uint64_t> chunksLeft_;
    double drift_ = 0;
    std::uint64_t stallsBefore_ = 0;
};

}  // namespace peer
