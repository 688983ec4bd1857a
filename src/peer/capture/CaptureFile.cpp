#include "peer/capture/CaptureFile.h"

#include <pcap/pcap.h>

#include "peer/PeerError.h"

namespace peer {
namespace {

std::optional<LinkKind> KindOf(int linkType) {
    switch (linkType) {
        case DLT_EN10MB:
            return LinkKind::Ethernet;
        case DLT_LINUX_SLL:
            return LinkKind::LinuxCooked;
        case DLT_LINUX_SLL2:
            return LinkKind::LinuxCooked2;
        case DLT_RAW:
        case DLT_IPV4:
            return LinkKind::RawIp;
        default:
            return std::nullopt;
    }
}

}  // namespace

CaptureFile::CaptureFile(const std::string& path) {
    char error[PCAP_ERRBUF_SIZE] = "";
    handle_ =
        pcap_open_offline_with_tstamp_precision(path.c_str(), PCAP_TSTAMP_PRECISION_NANO, error);
    if (handle_ == nullptr) {
        throw UsageError("CAPTURE: cannot read \"" + path + "\": " + error);
    }
    const int linkType = pcap_datalink(handle_);
    const char* name = pcap_datalink_val_to_name(linkType);
    linkName_ = name != nullptr ? name : std::to_string(linkType);
    const auto kind = KindOf(linkType);
    if (!kind) {
        pcap_close(handle_);
        throw UsageError("CAPTURE: \"" + path + "\" has link type " + linkName_ +
                         "; report reads Ethernet, Linux cooked (SLL, SLL2) and raw IPv4");
    }
    link_ = *kind;
}

CaptureFile::~CaptureFile() {
    pcap_close(handle_);
}

CaptureFile::Read CaptureFile::Next(CapturedPacket& packet) {
    if (!damage_.empty()) {
        return Read::Damaged;
    }
    pcap_pkthdr* header = nullptr;
    const u_char* data = nullptr;
    const int got = pcap_next_ex(handle_, &header, &data);
    if (got == PCAP_ERROR_BREAK) {
        return Read::End;
    }
    if (got != 1) {
        damage_ = pcap_geterr(handle_);
        if (damage_.empty()) {
            damage_ = "unreadable packet record";
        }
        return Read::Damaged;
    }
    // With nanosecond precision asked for, libpcap puts nanoseconds into tv_usec.
    packet.seconds = header->ts.tv_sec;
    packet.nanoseconds = header->ts.tv_usec;
    packet.bytes = std::span<const std::uint8_t>(data, header->caplen);
    packet.wireLength = header->len;
    return Read::Packet;
}

}  // namespace peer
