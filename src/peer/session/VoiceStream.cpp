#include "peer/session/VoiceStream.h"

#include <unistd.h>

#include <array>
#include <cerrno>
#include <cmath>

#include "peer/Clock.h"

namespace peer {

VoiceSchedule::Due VoiceSchedule::Take(double now) {
    const Due due{slot_, Deadline(slot_)};
    if (now - due.deadline >= period_) {
        // A stall: the slots that passed meanwhile are not made up for.
        ++stalls_;
        slot_ = static_cast<std::uint64_t>(std::floor((now - start_) / period_)) + 1;
    } else {
        ++slot_;
    }
    return due;
}

VoiceStream::~VoiceStream() {
    if (owned_ && fd_ >= 0) {
        ::close(fd_);
    }
}

void VoiceStream::Start(double now, std::optional<std::uint64_t> chunks) {
    stallsBefore_ = Stalls();
    schedule_ = VoiceSchedule(now);
    chunksLeft_ = chunks;
    running_ = !chunks || *chunks > 0;
}

void VoiceStream::Rewind() {
    if (::lseek(fd_, 0, SEEK_CUR) >= 0) {
        offset_ = 0;
        finished_ = false;
    }
}

void VoiceStream::SendDue(double now, std::int32_t& nextSeq, std::int32_t target) {
    const std::uint64_t stalls = schedule_.Stalls();
    const VoiceSchedule::Due due = schedule_.Take(now);
    if (schedule_.Stalls() > stalls) {
        outlet_->Stalled(now);
    }
    std::array<std::uint8_t, phone::kVoiceSize> datagram{};  // filler bytes stay zero
    ssize_t count = 0;
    do {
        count = ::pread(fd_, datagram.data() + phone::kOffsetPayload, phone::kVoicePayloadSize,
                        offset_);
    } while (count < 0 && errno == EINTR);
    if (count <= 0) {
        finished_ = true;
        return;
    }
    offset_ += count;
    phone::BuildVoiceHeader(datagram, phone::VoiceSeq(nextSeq), target,
                            static_cast<std::int16_t>(count));
    drift_ = MonotonicSeconds() - due.deadline;
    outlet_->Emit(datagram, due.deadline);
    phone::AdvanceVoiceSeq(nextSeq);
    if (chunksLeft_ && --*chunksLeft_ == 0) {
        running_ = false;
    }
}

}  // namespace peer
