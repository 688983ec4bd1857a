#include "peer/figures/Report.h"

#include <cerrno>
#include <cmath>

#include "peer/Addresses.h"

namespace peer {
namespace {

std::string HexOf(std::span<const std::uint8_t> bytes) {
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string text(bytes.size() * 2, '0');
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        text[2 * i] = kDigits[bytes[i] >> 4];
        text[2 * i + 1] = kDigits[bytes[i] & 0xF];
    }
    return text;
}

// A file or scenario name need not be UTF-8, and JSON must be: such bytes print as U+FFFD,
// never as a thrown error that would lose the summary and its verdict.
std::string Printed(const nlohmann::ordered_json& value) {
    return value.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace);
}

}  // namespace

void Report::PutLine(const std::string& line) {
    if (ended_) {
        return;
    }
    if (guard_ != nullptr) {
        guard_->BeforeLine();
    }
    PutBare(line);
    if (guard_ != nullptr) {
        guard_->AfterLine();
    }
}

void Report::PutBare(const std::string& line) {
    if (sink_ != nullptr) {
        const std::string text = line + "\n";
        // A reader that quit is told by the sink itself, once.
        sink_->Write(std::span(reinterpret_cast<const std::uint8_t*>(text.data()), text.size()));
        ended_ = sink_->Ended();
        return;
    }
    std::fwrite(line.data(), 1, line.size(), out_);
    std::fputc('\n', out_);
    if (std::fflush(out_) != 0 && errno == EPIPE) {
        // Its reader quit: the run goes on, and says so once where it still can.
        ended_ = true;
        std::fprintf(stderr,
                     "udpphone-peer: the reader of the lines and the summary quit; they are no "
                     "longer printed\n");
    }
}

nlohmann::ordered_json Report::Describe(const DatagramEvent& event) {
    const DatagramLook& look = event.look;
    nlohmann::ordered_json line = {
        {"t", std::round(event.t * 1e6) / 1e6}, {"dir", event.outgoing ? "out" : "in"},
        {"peer", EndpointText(event.peer)},     {"size", event.bytes.size()},
        {"kind", KindName(look.kind)},
    };
    if (look.hasHeader) {
        line["seq"] = look.header.Seq;
        line["target"] = look.header.Target;
        line["command"] = look.header.Command;
        line["status"] = look.header.Status;
    }
    if (look.kind == Kind::Voice) {
        line["length"] = look.header.Length;
    }
    if (look.reason != nullptr) {
        line["reason"] = look.reason;
    }
    line["hex"] = HexOf(event.bytes);
    return line;
}

void Report::OnDatagram(const DatagramEvent& event) {
    if (style_.quiet) {
        return;
    }
    const nlohmann::ordered_json line = Describe(event);
    if (style_.json) {
        PutLine(line.dump());
        return;
    }
    char head[96];
    std::snprintf(head, sizeof head, "%10.6f %-3s %-21s %5zu %-7s", event.t,
                  event.outgoing ? "out" : "in", EndpointText(event.peer).c_str(),
                  event.bytes.size(), KindName(event.look.kind));
    std::string text = head;
    for (const char* field : {"seq", "target", "command", "status", "length", "reason"}) {
        if (line.contains(field)) {
            text += std::string(" ") + field + "=" +
                    (line[field].is_string() ? line[field].get<std::string>() : line[field].dump());
        }
    }
    // A long datagram shows its start; the JSON form carries it whole.
    const std::string hex = line["hex"];
    text += " " + (hex.size() > 64 ? hex.substr(0, 64) + "..." : hex);
    PutLine(text);
}

void Report::LogLine(const std::string& line) {
    if (ShowsLog()) {
        PutLine("           " + line);
    }
}

void Report::Summary(const nlohmann::ordered_json& summary) {
    if (style_.json) {
        PutLine(Printed(nlohmann::ordered_json{{"summary", summary}}));
        return;
    }
    PutLine("summary:");
    for (const auto& [key, value] : summary.items()) {
        PutLine("  " + key + ": " +
                (value.is_string() ? value.get<std::string>() : Printed(value)));
    }
}

}  // namespace peer
