#pragma once
// Requests and replies on a wire seen from one end, by command and status, with each of this
// end's requests matched to its reply as a live run matches them: the first reply from the other
// side with the request's Seq and Command answers it, and its latency (reply stamp less request
// stamp) goes to the figures. A Seq sent again stands for its latest request.

#include <array>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>

#include "peer/figures/Figures.h"
#include "peer/session/Wire.h"

namespace peer {

class Exchanges final : public DatagramTap {
  public:
    explicit Exchanges(Figures& figures) : figures_(figures) {}
    void OnDatagram(const DatagramEvent& event) override;

    // One of this end's requests, once its fate is known: answered, or not (its Seq went out
    // again first, or the end came: TellUnanswered).
    struct Ended {
        double t = 0;  // when it was sent (DatagramEvent::t)
        std::int16_t command = 0;
        std::optional<std::int16_t> status;  // none: no reply
        std::optional<double> latency;       // seconds
    };
    void Watch(std::function<void(const Ended&)> watcher) { watcher_ = std::move(watcher); }
    // The requests still waiting for a reply, in the order they were sent, to the watcher.
    void TellUnanswered();

    // {"requests_sent": {"ring": 1, ...}, "requests_received": ..., "replies_sent": {"ring":
    // {"accepted": 1}, ...}, "replies_received": ...}; commands and statuses the protocol does
    // not name appear as their numbers.
    nlohmann::ordered_json ByCommand() const;

  private:
    struct Request {
        double t = 0;
        double stamp = 0;
        std::int16_t command = 0;
        bool waiting = false;
    };
    using Counts = std::map<std::int16_t, std::uint64_t>;

    // By Seq, in pages of 256 made as their Seqs are first used: a call's few requests take a
    // page or two, and a capture of many conversations stays small.
    Request& At(std::uint16_t seq);
    bool Known(std::uint16_t seq) const { return pages_[seq >> 8] != nullptr; }

    Figures& figures_;
    std::function<void(const Ended&)> watcher_;
    std::array<std::unique_ptr<std::array<Request, 256>>, 256> pages_;
    Counts requestsSent_, requestsReceived_;
    std::map<std::int16_t, Counts> repliesSent_, repliesReceived_;
};

}  // namespace peer
