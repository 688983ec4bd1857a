#include "peer/capture/Capture.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstring>

#include "peer/Files.h"
#include "peer/PeerError.h"
#include "peer/capture/Pcapng.h"

namespace peer {
namespace {

// Written when this much is gathered: a few hundred microseconds of copying into the page cache,
// about 2,400 voice datagrams.
constexpr std::size_t kWriteAt = 1 << 20;

}  // namespace

Capture::Capture(std::string path) : path_(std::move(path)) {
    fd_ = ::open(path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOCTTY, 0644);
    if (fd_ < 0) {
        throw UsageError(SystemMessage("--pcap: cannot open \"" + path_ + "\""));
    }
    struct stat status {};
    if (::fstat(fd_, &status) == 0 && S_ISDIR(status.st_mode)) {
        ::close(fd_);
        throw UsageError("--pcap: \"" + path_ + "\" is a directory");
    }
    pending_.reserve(kWriteAt + 70'000);
    pcapng::AppendHeader(pending_, "udpphone-peer");
    // The header at once: a file that cannot take it is refused before anything is sent.
    if (!Write()) {
        ::close(fd_);
        throw UsageError(*error_);
    }
}

Capture::~Capture() {
    Flush();
    ::close(fd_);
}

void Capture::OnDatagram(const DatagramEvent& event) {
    if (error_) {
        return;
    }
    pcapng::UdpEnds ends;
    const std::uint16_t localPort = htons(event.localPort);
    if (event.outgoing) {
        ends = {event.local.s_addr, event.peer.sin_addr.s_addr, localPort, event.peer.sin_port};
    } else {
        ends = {event.peer.sin_addr.s_addr, event.local.s_addr, event.peer.sin_port, localPort};
    }
    const auto microseconds = static_cast<std::uint64_t>(std::llround(event.stamp * 1e6));
    pcapng::AppendPacket(pending_, microseconds, ends, identification_++, event.bytes);
    ++packets_;
    if (pending_.size() >= kWriteAt) {
        Write();
    }
}

void Capture::Flush() {
    if (!error_ && !pending_.empty()) {
        Write();
    }
}

bool Capture::Write() {
    const bool written = WriteAll(fd_, pending_.data(), pending_.size());
    if (!written) {
        error_ = SystemMessage("--pcap: cannot write \"" + path_ + "\"");
    }
    pending_.clear();
    return written;
}

}  // namespace peer
