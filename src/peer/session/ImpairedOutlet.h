#pragma once
// Between the voice schedule and the wire: each due chunk is dropped, duplicated, held back
// behind the next one or sent late as its draws say, and counted. Without impairments every
// chunk goes straight to the wire and nothing is drawn.

#include <deque>
#include <functional>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <vector>

#include "peer/report/ReportCollector.h"
#include "peer/session/Impairment.h"
#include "peer/session/VoiceStream.h"
#include "peer/session/Wire.h"

namespace peer {

class ImpairedOutlet final : public VoiceOutlet {
  public:
    ImpairedOutlet(Wire& wire, const ImpairmentSettings& settings);

    // Where the chunks go, and from which local address (0.0.0.0: the kernel's choice).
    void SetDestination(const sockaddr_in& to, in_addr from = {}) {
        to_ = to;
        from_ = from;
    }
    // Sees every chunk the schedule makes, before anything happens to it.
    void Watch(std::function<void(std::span<const std::uint8_t>)> watcher) {
        watcher_ = std::move(watcher);
    }
    // Where each stall and each chunk's impairment is marked, at the time it was due; null:
    // nowhere.
    void MarkInto(ReportCollector* collector) { collector_ = collector; }
    void Emit(std::span<const std::uint8_t> datagram, double deadline) override;
    void Stalled(double now) override;

    // A chunk held back for reordering goes out now: the stream stopped before a next one came.
    void Release();
    // When the earliest late chunk is due (monotonic seconds); infinity when none waits.
    double NextDue() const;
    // Sends the late chunks whose time has come.
    void SendDue(double now);
    bool Waiting() const { return held_.has_value() || !late_.empty(); }

    // The seed (null when nothing was drawn and none was given) and the counts of chunks.
    nlohmann::ordered_json Summary() const;

  private:
    struct Chunk {
        sockaddr_in to{};
        in_addr from{};
        std::vector<std::uint8_t> bytes;
        bool duplicate = false;
    };
    struct Late {
        double due = 0;
        sockaddr_in to{};
        in_addr from{};
        std::vector<std::uint8_t> bytes;
    };
    void Put(const Chunk& chunk, double due, double now);
    void Mark(MarkKind kind, double when, std::span<const std::uint8_t> chunk);

    Wire& wire_;
    ImpairmentSettings settings_;
    std::unique_ptr<ImpairmentDraws> draws_;
    sockaddr_in to_{};
    in_addr from_{};
    std::function<void(std::span<const std::uint8_t>)> watcher_;
    ReportCollector* collector_ = nullptr;
    std::optional<Chunk> held_;
    std::deque<Late> late_;  // by due time; equal times in the order they were put
    std::uint64_t chunks_ = 0, dropped_ = 0, duplicated_ = 0, reordered_ = 0, delayed_ = 0;
};

}  // namespace peer
