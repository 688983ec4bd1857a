#pragma once
// `report`: the conversations of the protocol in a capture, each played to the same taps a live
// run's wire tells (its figures, the matching of requests and replies, and whatever else is added
// before Replay), as the datagrams one end of it sent and received.
//
// The capture is read twice: first to find the conversations and which end is which, then to
// turn every datagram of the chosen ones into the event a live run's wire would have made. Only
// as many packets as the first reading found are read again, so a file still being written
// gives the figures of what it held at first.

#include <netinet/in.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "peer/capture/CaptureFile.h"
#include "peer/figures/Exchanges.h"
#include "peer/figures/Figures.h"
#include "peer/session/Wire.h"

namespace peer {

struct Endpoint {
    in_addr address{};
    std::uint16_t port = 0;  // host order
    bool operator==(const Endpoint& other) const {
        return address.s_addr == other.address.s_addr && port == other.port;
    }
};
std::string EndpointText(const Endpoint& endpoint);
// "A.B.C.D:PORT", or without a port unless `portRequired` (then Endpoint.port is 0).
std::optional<Endpoint> ParseEndpoint(const std::string& text, bool portRequired);

struct ConversationChoice {
    // Only the conversation between these two ends, in either order.
    std::optional<std::pair<Endpoint, Endpoint>> between;
    // This end, wherever it takes part; only those conversations. No port: any port.
    std::optional<Endpoint> local;
    bool localAnyPort = false;
};

class Conversation {
  public:
    Conversation(Endpoint localEnd, Endpoint remoteEnd);
    Conversation(const Conversation&) = delete;
    Conversation& operator=(const Conversation&) = delete;

    // Another tap for this conversation's events (a report's collector, say); before Replay.
    void AddTap(DatagramTap& tap) { taps_.push_back(&tap); }

    const Endpoint local, remote;
    // The first datagram's stamp: real-time seconds since the epoch.
    double StartedAt() const {
        return static_cast<double>(startSeconds_) + static_cast<double>(startNanoseconds_) * 1e-9;
    }
    Figures figures;
    Exchanges exchanges{figures};

    // The live summary's figures with the conversation's ends and times first, what a capture
    // cannot know (the voice schedule's drift and stalls, send errors, the socket's buffer and
    // drops) as null, and the requests and replies by command and status.
    nlohmann::ordered_json Summary() const;

  private:
    friend class CaptureReading;
    void Tell(const DatagramEvent& event);

    std::vector<DatagramTap*> taps_;
    std::int64_t startSeconds_ = 0, startNanoseconds_ = 0;
    double first_ = 0, last_ = 0;  // stamps
    std::uint64_t datagrams_ = 0, truncated_ = 0, unreadable_ = 0;
};

class CaptureReading {
  public:
    // Opens the capture (UsageError when it cannot be read as one); `interrupted` is asked now
    // and then, and a yes ends the reading with UsageError.
    CaptureReading(std::string path, ConversationChoice choice, std::function<bool()> interrupted);
    ~CaptureReading();

    // The first reading: every packet counted, the conversations found and chosen.
    void Survey();
    // In the order they began.
    const std::vector<std::unique_ptr<Conversation>>& Conversations() const { return chosen_; }
    // The second reading: each chosen conversation's datagrams to its taps.
    void Replay();

    // The capture's own figures: packets, those skipped by reason, truncated ones, the
    // conversations reported and, when the file is damaged part-way, the damage.
    nlohmann::ordered_json Summary() const;
    // What ended the reading before the end of the file; the figures are of what came before.
    const std::optional<std::string>& Damage() const { return damage_; }

  private:
    struct Found;
    struct Key {
        std::uint64_t low = 0, high = 0;
        bool operator==(const Key&) const = default;
    };
    struct KeyHash {
        std::size_t operator()(const Key& key) const;
    };

    // Reads up to `limit` packets, handing each decoded one on; stops at the end or at damage.
    std::uint64_t Read(std::uint64_t limit,
                       const std::function<void(const CapturedPacket&, const DecodedPacket&)>& use);
    std::size_t FoundIndex(const UdpDatagram& datagram, bool add);
    void Choose();
    void Play(Conversation& conversation, const CapturedPacket& packet,
              const UdpDatagram& datagram);
    // The look of a datagram the capture cut short, taken at its true size; none when the
    // capture did not keep all the bytes the look reads.
    std::optional<DatagramLook> LookAtCut(const UdpDatagram& datagram);

    std::string path_;
    std::unique_ptr<CaptureFile> first_;
    ConversationChoice choice_;
    std::function<bool()> interrupted_;
    std::string linkName_;
    std::optional<std::string> damage_;

    std::vector<Found> found_;
    std::unordered_map<Key, std::size_t, KeyHash> index_;
    std::optional<std::pair<Key, std::size_t>> lastFound_;
    std::vector<Conversation*> conversationOf_;  // by found index; null: not reported
    std::vector<std::unique_ptr<Conversation>> chosen_;

    std::uint64_t packets_ = 0, truncated_ = 0;
    std::uint64_t notIpv4_ = 0, notUdp_ = 0, fragments_ = 0, headersCut_ = 0;

    std::vector<std::uint8_t> windowBuffer_;
    std::size_t windowDirty_ = 0;
    std::vector<std::uint8_t> cutBuffer_;
};

}  // namespace peer
