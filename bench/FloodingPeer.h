#pragma once
// The request flood's peer: a loopback socket whose own thread (on core 1) sends requests at a
// paced rate and, between sends, takes everything the window sends back: the replies, in order,
// with the index each carries; voice datagrams, with their kernel receive times; and the Ring a
// click of the window sends.

#include <atomic>
#include <cstdint>
#include <functional>
#include <thread>
#include <vector>

#include "bench/BenchSupport.h"

namespace bench {

// What the peer floods with. Ring: accepted while idle, three lines. Talk: accepted from the
// address in eIP, two lines. Longest: refused (Target and Command -1), and its two lines are the
// longest the program writes ("Send: FFFFFFFF FFFFFFFF"); only Seq is free to carry the index.
enum class FloodKind { Ring, Talk, Longest };

FloodKind FloodKindNamed(const std::string& name);
void FillFloodRequest(std::uint8_t* datagram, std::uint64_t index, FloodKind kind);
// The index a request carries, as far as its kind has room for it.
std::uint64_t FloodIndex(const std::uint8_t* datagram, FloodKind kind);
std::uint64_t FloodIndexMask(FloodKind kind);

struct VoiceArrival {
    double at = 0;  // kernel receive time, seconds
    std::uint64_t chunk = 0;
    bool intact = false;
};

class FloodingPeer {
  public:
    FloodingPeer(int receiveBuffer, FloodKind kind);
    ~FloodingPeer();
    FloodingPeer(const FloodingPeer&) = delete;
    FloodingPeer& operator=(const FloodingPeer&) = delete;
    std::uint16_t Port() const { return LocalPort(fd_); }

    // Sends `count` requests at `rate`; `afterSending` runs on the peer's thread once they are
    // out. Then replies still under way are taken until all are in or none came for a second.
    void Start(std::uint16_t windowPort, std::uint64_t count, double rate,
               std::function<void()> afterSending = {});
    void Stop() { stop_ = true; }
    void Join() { thread_.join(); }

    bool Finished() const { return finished_; }
    bool SendingEnded() const { return sendingEnded_ > 0; }
    const PacedSending& Sending() const { return sending_; }
    std::uint64_t Replies() const { return replies_; }
    std::uint64_t Accepted() const { return accepted_; }
    std::uint64_t RepliesOutOfOrder() const { return outOfOrder_; }
    // Replies whose index is not past the one before: what drops cannot explain.
    std::uint64_t RepliesNotRising() const { return notRising_; }
    // After Join: the indices of the newest replies (as many as Memo1 can show), in arrival
    // order; the voice that arrived; when the Ring of a click arrived (Now(), -1 if none did).
    std::vector<std::uint64_t> ReplyIndices() const;
    const std::vector<VoiceArrival>& Voice() const { return voice_; }
    double RingArrivedAt() const { return ringAt_; }

  private:
    void Drain();

    const FloodKind kind_;
    int fd_;
    std::thread thread_;
    std::atomic<bool> stop_{false};
    std::atomic<bool> finished_{false};
    PacedSending sending_;
    std::atomic<double> sendingEnded_{0};
    std::atomic<std::uint64_t> replies_{0};
    std::uint64_t accepted_ = 0;
    std::uint64_t outOfOrder_ = 0;
    std::uint64_t notRising_ = 0;
    // The newest reply indices, a ring allocated at once: the peer's memory must not grow while
    // the window's is measured.
    std::vector<std::uint64_t> recentReplies_;
    std::vector<VoiceArrival> voice_;
    std::atomic<double> ringAt_{-1};
};

}  // namespace bench
