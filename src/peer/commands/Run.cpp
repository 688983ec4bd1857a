#include <cstdio>

#include "peer/Addresses.h"
#include "peer/Clock.h"
#include "peer/commands/Subcommands.h"

namespace peer {

Run::Run(const CommonOptions& options)
    : receiveBuffer(options.receiveBuffer),
      origin(MonotonicSeconds()),
      wire(ParseDotted(options.bind), static_cast<std::uint16_t>(options.localPort),
           options.receiveBuffer),
      report({options.json, options.quiet}) {
    if (!options.pcap.empty()) {
        capture = std::make_unique<Capture>(options.pcap);
    }
    Watch(wire);
}

void Run::Watch(Wire& watched) {
    watched.AddTap(figures);
    watched.AddTap(report);
    if (capture) {
        watched.AddTap(*capture);
    }
    watched.SetOrigin(origin);
}

Wire& Run::AddWire(const in_addr& address) {
    otherWires.push_back(std::make_unique<Wire>(address, 0, receiveBuffer));
    Watch(*otherWires.back());
    return *otherWires.back();
}

int Run::Finish(nlohmann::ordered_json summary, const std::vector<std::string>& reasons,
                const std::optional<std::string>& failedFile) {
    summary["receive_buffer_bytes"] = wire.ReceiveBufferBytes();
    summary["receive_drops"] = wire.ReceiveDrops();
    std::optional<std::string> fault = failedFile;
    if (capture) {
        capture->Flush();
        summary["capture"] = {{"file", capture->Path()}, {"datagrams", capture->Packets()}};
        if (capture->Error()) {
            summary["capture"]["error"] = *capture->Error();
            fault = fault ? *fault + "; " + *capture->Error() : *capture->Error();
        }
    }
    summary["verdict"] = reasons.empty() ? "pass" : "fail";
    summary["reasons"] = reasons;
    report.Summary(summary);
    if (fault) {
        std::fprintf(stderr, "udpphone-peer: %s\n", fault->c_str());
        return 2;
    }
    return reasons.empty() ? 0 : 1;
}

}  // namespace peer
