// A DNS server over UDP for the tests' own resolver, with names that answer at once, late, twice or
// never:
//   ip-127-0-0-N.dns.test            A 127.0.0.N
//   multi.dns.test                   A 127.0.0.2, then A 127.0.0.3
//   delay-MS.<one of the above>      the same answer, MS milliseconds later
//   delay-MS.<anything>.invalid      NXDOMAIN, MS milliseconds later
//   anything else                    NXDOMAIN at once
// Queries for other types than A get their answer (no records, or NXDOMAIN) at once, so a resolver
// asking for both families never waits for the second. Every address it hands out is in
// 127.0.0.0/8, and it answers only loopback senders.
//
// Usage: dns_responder [ADDRESS [PORT]]   (default 127.0.0.53 53); prints "ready" once bound.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <optional>
#include <queue>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
using Bytes = std::vector<std::uint8_t>;

constexpr std::size_t kHeaderSize = 12;
constexpr std::uint16_t kTypeA = 1;
constexpr std::uint16_t kClassIn = 1;
constexpr std::uint8_t kRcodeFormErr = 1;
constexpr std::uint8_t kRcodeNxDomain = 3;
constexpr std::uint8_t kRcodeNotImp = 4;
constexpr int kMaxDelayMs = 60'000;
// Late answers waiting at once; beyond this a flood of slow queries is dropped, not queued.
constexpr std::size_t kMaxPending = 4096;

struct Question {
    std::string name;     // lower case, labels joined by '.', no trailing dot
    std::size_t end = 0;  // offset just past QTYPE and QCLASS
    std::uint16_t type = 0;
    std::uint16_t qclass = 0;
};

struct Answer {
    std::uint8_t rcode = 0;
    std::vector<std::uint8_t> hosts;  // last octet of each 127.0.0.N record, in order
    int delayMs = 0;
};

std::uint16_t Read16(const std::uint8_t* p) {
    return static_cast<std::uint16_t>((p[0] << 8) | p[1]);
}

void Put16(Bytes& out, std::uint16_t value) {
    out.push_back(static_cast<std::uint8_t>(value >> 8));
    out.push_back(static_cast<std::uint8_t>(value));
}

// Only uncompressed names: a query's single question never needs a pointer.
std::optional<Question> ParseQuestion(const std::uint8_t* data, std::size_t size) {
    Question question;
    std::size_t offset = kHeaderSize;
    while (true) {
        if (offset >= size) {
            return std::nullopt;
        }
        std::size_t length = data[offset++];
        if (length == 0) {
            break;
        }
        if (length > 63 || offset + length > size || question.name.size() + length > 253) {
            return std::nullopt;
        }
        if (!question.name.empty()) {
            question.name += '.';
        }
        for (std::size_t i = 0; i < length; ++i) {
            question.name += static_cast<char>(std::tolower(data[offset + i]));
        }
        offset += length;
    }
    if (offset + 4 > size) {
        return std::nullopt;
    }
    question.type = Read16(data + offset);
    question.qclass = Read16(data + offset + 2);
    question.end = offset + 4;
    return question;
}

bool EndsWith(std::string_view text, std::string_view suffix) {
    return text.size() >= suffix.size() && text.substr(text.size() - suffix.size()) == suffix;
}

// Decimal digits only, no sign, within [0, limit].
std::optional<int> ParseNumber(std::string_view text, int limit) {
    if (text.empty() || text.size() > 6) {
        return std::nullopt;
    }
    int value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') {
            return std::nullopt;
        }
        value = value * 10 + (c - '0');
    }
    if (value > limit) {
        return std::nullopt;
    }
    return value;
}

std::optional<std::vector<std::uint8_t>> KnownHosts(std::string_view name) {
    if (name == "multi.dns.test") {
        return std::vector<std::uint8_t>{2, 3};
    }
    constexpr std::string_view kPrefix = "ip-127-0-0-";
    constexpr std::string_view kSuffix = ".dns.test";
    if (name.starts_with(kPrefix) && EndsWith(name, kSuffix) &&
        name.size() > kPrefix.size() + kSuffix.size()) {
        auto octet = ParseNumber(
            name.substr(kPrefix.size(), name.size() - kPrefix.size() - kSuffix.size()), 255);
        if (octet) {
            return std::vector<std::uint8_t>{static_cast<std::uint8_t>(*octet)};
        }
    }
    return std::nullopt;
}

Answer Decide(const Question& question) {
    std::string_view name = question.name;
    int delayMs = 0;
    if (name.starts_with("delay-")) {
        auto dot = name.find('.');
        auto delay = ParseNumber(
            name.substr(6, dot == std::string_view::npos ? name.npos : dot - 6), kMaxDelayMs);
        if (delay && dot != std::string_view::npos) {
            delayMs = *delay;
            name = name.substr(dot + 1);
        }
    }
    auto hosts = KnownHosts(name);
    bool exists = hosts.has_value();
    bool lateNxDomain = !exists && EndsWith(name, ".invalid") && delayMs > 0;
    Answer answer;
    answer.rcode = exists ? 0 : kRcodeNxDomain;
    if (question.qclass != kClassIn) {
        answer.rcode = kRcodeNxDomain;
        return answer;
    }
    if (question.type == kTypeA && (exists || lateNxDomain)) {
        answer.delayMs = delayMs;
    }
    if (question.type == kTypeA && exists) {
        answer.hosts = *hosts;
    }
    return answer;
}

Bytes ErrorReply(const std::uint8_t* query, std::uint8_t rcode) {
    Bytes reply(query, query + kHeaderSize);
    reply[2] = static_cast<std::uint8_t>(0x80 | (query[2] & 0x79));  // QR, opcode, RD kept
    reply[3] = static_cast<std::uint8_t>(0x80 | rcode);              // RA
    std::fill(reply.begin() + 4, reply.end(), 0);
    return reply;
}

Bytes Reply(const std::uint8_t* query, const Question& question, const Answer& answer) {
    Bytes reply(query, query + question.end);
    reply[2] = static_cast<std::uint8_t>(0x80 | 0x04 | (query[2] & 0x79));  // QR, AA, RD kept
    reply[3] = static_cast<std::uint8_t>(0x80 | answer.rcode);
    reply[4] = 0;  // one question
    reply[5] = 1;
    reply[6] = 0;
    reply[7] = static_cast<std::uint8_t>(answer.hosts.size());
    std::fill(reply.begin() + 8, reply.begin() + kHeaderSize, 0);  // no authority, no additional
    for (std::uint8_t host : answer.hosts) {
        Put16(reply, 0xC000 | kHeaderSize);  // the question's name
        Put16(reply, kTypeA);
        Put16(reply, kClassIn);
        Put16(reply, 0);  // TTL 0: nothing may cache a test's answer
        Put16(reply, 0);
        Put16(reply, 4);
        reply.insert(reply.end(), {127, 0, 0, host});
    }
    return reply;
}

void SendReply(int socket, const sockaddr_in& to, const Bytes& reply) {
    sendto(socket, reply.data(), reply.size(), 0, reinterpret_cast<const sockaddr*>(&to),
           sizeof to);
}

struct Pending {
    Clock::time_point due;
    sockaddr_in to;
    Bytes reply;
    bool operator>(const Pending& other) const { return due > other.due; }
};

// One thread sends every late reply when it falls due, so a slow answer never holds up the others.
class LateReplies {
  public:
    explicit LateReplies(int socket) : socket_(socket) {
        std::thread([this] { Run(); }).detach();
    }

    void Add(Pending pending) {
        std::lock_guard lock(mutex_);
        if (queue_.size() < kMaxPending) {
            queue_.push(std::move(pending));
            wake_.notify_one();
        }
    }

  private:
    [[noreturn]] void Run() {
        std::unique_lock lock(mutex_);
        while (true) {
            if (queue_.empty()) {
                wake_.wait(lock);
                continue;
            }
            // A copy: the queue may grow, and move its elements, while the lock is released.
            const Clock::time_point due = queue_.top().due;
            if (Clock::now() < due) {
                wake_.wait_until(lock, due);
                continue;
            }
            Pending pending = queue_.top();
            queue_.pop();
            lock.unlock();
            SendReply(socket_, pending.to, pending.reply);
            lock.lock();
        }
    }

    int socket_;
    std::mutex mutex_;
    std::condition_variable wake_;
    std::priority_queue<Pending, std::vector<Pending>, std::greater<>> queue_;
};

bool IsLoopback(const sockaddr_in& address) {
    return (ntohl(address.sin_addr.s_addr) >> 24) == 127;
}

std::optional<Bytes> Handle(const std::uint8_t* query, std::size_t size, int& delayMs) {
    delayMs = 0;
    if (size < kHeaderSize || (query[2] & 0x80) != 0) {
        return std::nullopt;  // too short to answer, or itself a reply
    }
    if (((query[2] >> 3) & 0x0F) != 0) {
        return ErrorReply(query, kRcodeNotImp);
    }
    auto question = Read16(query + 4) == 1 ? ParseQuestion(query, size) : std::nullopt;
    if (!question) {
        return ErrorReply(query, kRcodeFormErr);
    }
    Answer answer = Decide(*question);
    delayMs = answer.delayMs;
    return Reply(query, *question, answer);
}

[[noreturn]] void Serve(int socket) {
    static LateReplies late(socket);
    std::uint8_t buffer[4096];
    while (true) {
        sockaddr_in from{};
        socklen_t fromLength = sizeof from;
        ssize_t received = recvfrom(socket, buffer, sizeof buffer, 0,
                                    reinterpret_cast<sockaddr*>(&from), &fromLength);
        if (received < 0) {
            if (errno == EINTR) {
                continue;
            }
            std::perror("dns_responder: recvfrom");
            std::_Exit(1);
        }
        if (fromLength != sizeof from || from.sin_family != AF_INET || !IsLoopback(from)) {
            continue;
        }
        int delayMs = 0;
        auto reply = Handle(buffer, static_cast<std::size_t>(received), delayMs);
        if (!reply) {
            continue;
        }
        if (delayMs == 0) {
            SendReply(socket, from, *reply);
        } else {
            late.Add({Clock::now() + std::chrono::milliseconds(delayMs), from, std::move(*reply)});
        }
    }
}

}  // namespace

int main(int argc, char** argv) {
    const char* address = argc > 1 ? argv[1] : "127.0.0.53";
    const char* port = argc > 2 ? argv[2] : "53";
    if (argc > 3) {
        std::fprintf(stderr, "usage: %s [ADDRESS [PORT]]\n", argv[0]);
        return 2;
    }
    sockaddr_in local{};
    local.sin_family = AF_INET;
    auto portNumber = ParseNumber(port, 65535);
    if (inet_pton(AF_INET, address, &local.sin_addr) != 1 || !IsLoopback(local) || !portNumber) {
        std::fprintf(stderr, "dns_responder: listens on a loopback IPv4 address only, not %s:%s\n",
                     address, port);
        return 2;
    }
    local.sin_port = htons(static_cast<std::uint16_t>(*portNumber));
    int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0) {
        std::fprintf(stderr, "dns_responder: cannot bind %s:%s: %s\n", address, port,
                     std::strerror(errno));
        return 1;
    }
    std::puts("ready");
    std::fflush(stdout);
    Serve(fd);
}
