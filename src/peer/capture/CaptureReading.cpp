#include "peer/capture/CaptureReading.h"

#include <sys/stat.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <ctime>

#include "peer/Addresses.h"
#include "peer/PeerError.h"
#include "phone/PhoneDatagram.h"

namespace peer {
namespace {

// How often a long reading asks whether it was interrupted.
constexpr std::uint64_t kAskEvery = 4096;

// The look reads a datagram's size and its first 14 bytes only (magic, Seq, Target, Command,
// Status, Length).
constexpr std::size_t kLookReads = phone::kVoiceHeaderSize;

std::uint64_t Code(const Endpoint& endpoint) {
    return std::uint64_t{ntohl(endpoint.address.s_addr)} << 16 | endpoint.port;
}

Endpoint FromCode(std::uint64_t code) {
    Endpoint endpoint;
    endpoint.address.s_addr = htonl(static_cast<std::uint32_t>(code >> 16));
    endpoint.port = static_cast<std::uint16_t>(code);
    return endpoint;
}

Endpoint SourceOf(const UdpDatagram& datagram) {
    Endpoint endpoint;
    endpoint.address.s_addr = datagram.source;
    endpoint.port = datagram.sourcePort;
    return endpoint;
}

Endpoint DestinationOf(const UdpDatagram& datagram) {
    Endpoint endpoint;
    endpoint.address.s_addr = datagram.destination;
    endpoint.port = datagram.destinationPort;
    return endpoint;
}

double Stamp(const CapturedPacket& packet) {
    return static_cast<double>(packet.seconds) + static_cast<double>(packet.nanoseconds) * 1e-9;
}

// UTC to the microsecond, or the seconds as a number where the stamp is past what a calendar
// date can show.
nlohmann::ordered_json StartText(std::int64_t seconds, std::int64_t nanoseconds) {
    const double stamp = static_cast<double>(seconds) + static_cast<double>(nanoseconds) * 1e-9;
    if (std::abs(stamp) > 1e15) {
        return stamp;
    }
    const auto whole = static_cast<std::time_t>(std::floor(stamp));
    std::tm utc{};
    if (::gmtime_r(&whole, &utc) == nullptr) {
        return stamp;
    }
    const auto micro =
        std::min<long long>(999'999, std::llround((stamp - static_cast<double>(whole)) * 1e6));
    char text[64];
    std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%06lldZ", utc.tm_year + 1900,
                  utc.tm_mon + 1, utc.tm_mday, utc.tm_hour, utc.tm_min, utc.tm_sec, micro);
    return text;
}

// Of this protocol beyond doubt: a request, reply or voice datagram by the endpoint's own rules
// that starts with the whole magic. The endpoint tests the "z" alone, which one datagram in 256
// of any other traffic starts with.
bool OfTheProtocol(const DatagramLook& look, std::span<const std::uint8_t> captured) {
    return look.kind != Kind::Ignored && captured.size() >= 4 &&
           std::equal(captured.begin(), captured.begin() + 4, std::begin(phone::kMagic));
}

}  // namespace

std::string EndpointText(const Endpoint& endpoint) {
    return AddressText(endpoint.address) + ":" + std::to_string(endpoint.port);
}

std::optional<Endpoint> ParseEndpoint(const std::string& text, bool portRequired) {
    const std::size_t colon = text.find(':');
    const std::string address = text.substr(0, colon);
    if (!IsDottedAddress(address) || (colon == std::string::npos && portRequired)) {
        return std::nullopt;
    }
    Endpoint endpoint;
    endpoint.address = ParseDotted(address);
    if (colon == std::string::npos) {
        return endpoint;
    }
    const std::string port = text.substr(colon + 1);
    if (port.empty() || port.size() > 5 ||
        !std::all_of(port.begin(), port.end(), [](char c) { return c >= '0' && c <= '9'; }) ||
        std::stoul(port) > 65535) {
        return std::nullopt;
    }
    endpoint.port = static_cast<std::uint16_t>(std::stoul(port));
    return endpoint;
}

// A pair of ends as first seen in the capture: what the first reading learns of it.
struct CaptureReading::Found {
    Key key;
    std::int64_t startSeconds = 0, startNanoseconds = 0;
    double first = 0, last = 0;
    bool ofTheProtocol = false;
    std::optional<std::uint64_t> firstRequester, firstReplyTo, firstSender;
    std::uint64_t datagrams = 0, truncated = 0, unreadable = 0;
};

std::size_t CaptureReading::KeyHash::operator()(const Key& key) const {
    return std::hash<std::uint64_t>()(key.low * 0x9E3779B97F4A7C15u ^ key.high);
}

Conversation::Conversation(Endpoint localEnd, Endpoint remoteEnd)
    : local(localEnd), remote(remoteEnd), taps_{&figures, &exchanges} {}

void Conversation::Tell(const DatagramEvent& event) {
    for (DatagramTap* tap : taps_) {
        tap->OnDatagram(event);
    }
}

nlohmann::ordered_json Conversation::Summary() const {
    nlohmann::ordered_json summary = {{"conversation",
                                       {{"local", EndpointText(local)},
                                        {"remote", EndpointText(remote)},
                                        {"start", StartText(startSeconds_, startNanoseconds_)},
                                        {"seconds", std::round((last_ - first_) * 1e6) / 1e6},
                                        {"datagrams", datagrams_},
                                        {"truncated", truncated_},
                                        {"unreadable", unreadable_}}}};
    const nlohmann::ordered_json figured = figures.Summary();
    for (const auto& [key, value] : figured.items()) {
        summary[key] = value;
    }
    for (const char* unknown : {"send_errors", "drift_ms", "stalls"}) {
        summary[unknown] = nullptr;
    }
    summary["receive_buffer_bytes"] = nullptr;
    summary["receive_drops"] = nullptr;
    summary["by_command"] = exchanges.ByCommand();
    return summary;
}

CaptureReading::CaptureReading(std::string path, ConversationChoice choice,
                               std::function<bool()> interrupted)
    : path_(std::move(path)),
      choice_(std::move(choice)),
      interrupted_(std::move(interrupted)),
      windowBuffer_(phone::kReceiveBufferSize),
      cutBuffer_(65536) {
    // Read twice: a pipe would be empty the second time.
    struct stat status {};
    if (::stat(path_.c_str(), &status) == 0 && !S_ISREG(status.st_mode)) {
        throw UsageError("CAPTURE: \"" + path_ +
                         "\" is not a regular file; report reads a capture twice, so it cannot "
                         "come from a pipe or a device");
    }
    first_ = std::make_unique<CaptureFile>(path_);
    linkName_ = first_->LinkName();
}

CaptureReading::~CaptureReading() = default;

std::uint64_t CaptureReading::Read(
    std::uint64_t limit,
    const std::function<void(const CapturedPacket&, const DecodedPacket&)>& use) {
    // The first reading takes the file opened at the start; the second opens it again.
    std::unique_ptr<CaptureFile> file = std::move(first_);
    if (!file) {
        file = std::make_unique<CaptureFile>(path_);
    }
    CapturedPacket packet;
    std::uint64_t read = 0;
    while (read < limit) {
        if (read % kAskEvery == 0 && interrupted_ && interrupted_()) {
            throw UsageError("interrupted while reading \"" + path_ + "\"");
        }
        const CaptureFile::Read got = file->Next(packet);
        if (got == CaptureFile::Read::End) {
            break;
        }
        if (got == CaptureFile::Read::Damaged) {
            damage_ = "\"" + path_ + "\" is damaged after " + std::to_string(read) +
                      " packets: " + file->Damage();
            break;
        }
        ++read;
        use(packet, DecodePacket(file->Link(), packet.bytes, packet.wireLength));
    }
    return read;
}

std::size_t CaptureReading::FoundIndex(const UdpDatagram& datagram, bool add) {
    const std::uint64_t a = Code(SourceOf(datagram)), b = Code(DestinationOf(datagram));
    const Key key{std::min(a, b), std::max(a, b)};
    // Packets of one conversation mostly follow each other.
    if (lastFound_ && lastFound_->first == key) {
        return lastFound_->second;
    }
    auto at = index_.find(key);
    if (at == index_.end()) {
        if (!add) {
            return SIZE_MAX;
        }
        at = index_.emplace(key, found_.size()).first;
        found_.emplace_back().key = key;
    }
    lastFound_ = std::pair(key, at->second);
    return at->second;
}

std::optional<DatagramLook> CaptureReading::LookAtCut(const UdpDatagram& datagram) {
    if (datagram.size <= phone::kReceiveBufferSize &&
        datagram.payload.size() < std::min(datagram.size, kLookReads)) {
        return std::nullopt;
    }
    // The bytes the look reads are all here; the rest, which it does not read, stand as zeros.
    const std::size_t head = std::min(datagram.payload.size(), kLookReads);
    std::copy_n(datagram.payload.begin(), head, cutBuffer_.begin());
    const DatagramLook look = LookAt(std::span(cutBuffer_).first(datagram.size));
    std::fill_n(cutBuffer_.begin(), head, 0);
    return look;
}

void CaptureReading::Survey() {
    packets_ = Read(UINT64_MAX, [this](const CapturedPacket& packet, const DecodedPacket& decoded) {
        truncated_ += decoded.fate == PacketFate::Truncated || decoded.truncated;
        switch (decoded.fate) {
            case PacketFate::NotIpv4:
                ++notIpv4_;
                return;
            case PacketFate::NotUdp:
                ++notUdp_;
                return;
            case PacketFate::Fragment:
                ++fragments_;
                return;
            case PacketFate::Truncated:
                ++headersCut_;
                return;
            case PacketFate::Datagram:
                break;
        }
        const UdpDatagram& datagram = decoded.datagram;
        Found& found = found_[FoundIndex(datagram, true)];
        const double stamp = Stamp(packet);
        if (found.datagrams++ == 0) {
            found.startSeconds = packet.seconds;
            found.startNanoseconds = packet.nanoseconds;
            found.first = stamp;
            found.firstSender = Code(SourceOf(datagram));
        }
        found.last = stamp;
        std::optional<DatagramLook> look;
        if (decoded.truncated) {
            ++found.truncated;
            look = LookAtCut(datagram);
        } else {
            look = LookAt(datagram.payload);
        }
        if (!look) {
            ++found.unreadable;
            return;
        }
        found.ofTheProtocol = found.ofTheProtocol || OfTheProtocol(*look, datagram.payload);
        if (look->kind == Kind::Request && !found.firstRequester) {
            found.firstRequester = Code(SourceOf(datagram));
        } else if (look->kind == Kind::Reply && !found.firstReplyTo) {
            found.firstReplyTo = Code(DestinationOf(datagram));
        }
    });
    Choose();
}

void CaptureReading::Choose() {
    conversationOf_.assign(found_.size(), nullptr);
    for (std::size_t i = 0; i < found_.size(); ++i) {
        Found& found = found_[i];
        if (!found.ofTheProtocol) {
            continue;
        }
        const Endpoint low = FromCode(found.key.low), high = FromCode(found.key.high);
        if (choice_.between) {
            const std::uint64_t a = Code(choice_.between->first), b = Code(choice_.between->second);
            if (Key{std::min(a, b), std::max(a, b)} != found.key) {
                continue;
            }
        }
        // This end: the one asked for; else whoever sent the first request, or the one the first
        // reply went to, which asked before the capture began; else whoever spoke first.
        std::uint64_t local = found.firstRequester.value_or(
            found.firstReplyTo.value_or(found.firstSender.value_or(found.key.low)));
        if (choice_.local) {
            const auto matches = [&](const Endpoint& end) {
                return end.address.s_addr == choice_.local->address.s_addr &&
                       (choice_.localAnyPort || end.port == choice_.local->port);
            };
            if (matches(low) == matches(high)) {
                // Not an end of this conversation, or both are: nothing tells them apart.
                if (!matches(low)) {
                    continue;
                }
            } else {
                local = Code(matches(low) ? low : high);
            }
        }
        auto conversation = std::make_unique<Conversation>(
            FromCode(local), FromCode(local == found.key.low ? found.key.high : found.key.low));
        conversation->startSeconds_ = found.startSeconds;
        conversation->startNanoseconds_ = found.startNanoseconds;
        conversation->first_ = found.first;
        conversation->last_ = found.last;
        conversation->datagrams_ = found.datagrams;
        conversation->truncated_ = found.truncated;
        conversation->unreadable_ = found.unreadable;
        conversationOf_[i] = conversation.get();
        chosen_.push_back(std::move(conversation));
    }
}

void CaptureReading::Replay() {
    const std::optional<std::string> firstDamage = damage_;
    lastFound_.reset();
    const std::uint64_t read =
        Read(packets_, [this](const CapturedPacket& packet, const DecodedPacket& decoded) {
            if (decoded.fate != PacketFate::Datagram) {
                return;
            }
            const std::size_t found = FoundIndex(decoded.datagram, false);
            if (found < conversationOf_.size() && conversationOf_[found] != nullptr) {
                Play(*conversationOf_[found], packet, decoded.datagram);
            }
        });
    if (read < packets_) {
        damage_ = "\"" + path_ + "\" changed while it was read: " + std::to_string(read) +
                  " packets the second time, " + std::to_string(packets_) + " the first";
    } else {
        damage_ = firstDamage;
    }
}

void CaptureReading::Play(Conversation& conversation, const CapturedPacket& packet,
                          const UdpDatagram& datagram) {
    DatagramEvent event;
    if (datagram.Cut()) {
        const auto look = LookAtCut(datagram);
        if (!look) {
            return;  // counted as unreadable in the first reading
        }
        event.look = *look;
        event.cutFrom = datagram.size;
    } else {
        event.look = LookAt(datagram.payload);
    }
    event.outgoing = SourceOf(datagram) == conversation.local;
    // From the conversation's first datagram; whole seconds apart first, so the nanoseconds
    // keep their weight however far the stamps lie from 1970.
    event.t = static_cast<double>(packet.seconds) -
              static_cast<double>(conversation.startSeconds_) +
              (static_cast<double>(packet.nanoseconds) -
               static_cast<double>(conversation.startNanoseconds_)) *
                  1e-9;
    event.stamp = Stamp(packet);
    event.peer = MakeEndpoint(conversation.remote.address, conversation.remote.port);
    event.local = conversation.local.address;
    event.localPort = conversation.local.port;
    event.bytes = datagram.payload;
    if (!event.outgoing && !datagram.Cut() && datagram.size <= phone::kReceiveBufferSize) {
        // The window's receive buffer: the datagram, zeros past it. Only what the last one
        // wrote beyond this one's end needs clearing.
        std::copy(datagram.payload.begin(), datagram.payload.end(), windowBuffer_.begin());
        if (windowDirty_ > datagram.size) {
            std::fill(windowBuffer_.begin() + static_cast<std::ptrdiff_t>(datagram.size),
                      windowBuffer_.begin() + static_cast<std::ptrdiff_t>(windowDirty_), 0);
        }
        windowDirty_ = datagram.size;
        event.windowBuffer = windowBuffer_.data();
    }
    conversation.Tell(event);
}

nlohmann::ordered_json CaptureReading::Summary() const {
    std::uint64_t reported = 0, unreadable = 0, others = 0;
    for (std::size_t i = 0; i < found_.size(); ++i) {
        if (i < conversationOf_.size() && conversationOf_[i] != nullptr) {
            reported += found_[i].datagrams - found_[i].unreadable;
            unreadable += found_[i].unreadable;
        } else {
            others += found_[i].datagrams;
        }
    }
    nlohmann::ordered_json summary = {
        {"file", path_},
        {"link_type", linkName_},
        {"packets", packets_},
        {"datagrams", reported},
        {"skipped",
         {{"not IPv4", notIpv4_},
          {"not UDP", notUdp_},
          {"fragment", fragments_},
          {"truncated", headersCut_ + unreadable},
          {"other conversations", others}}},
        {"truncated", truncated_},
        {"conversations", chosen_.size()},
    };
    if (damage_) {
        summary["error"] = *damage_;
    }
    return summary;
}

}  // namespace peer
