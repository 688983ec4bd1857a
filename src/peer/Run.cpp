#include "peer/Addresses.h"
#include "peer/Clock.h"
#include "peer/Subcommands.h"

namespace peer {

Run::Run(const CommonOptions& options)
    : wire(ParseDotted(options.bind), static_cast<std::uint16_t>(options.localPort),
           options.receiveBuffer),
      report({options.json, options.quiet}) {
    wire.AddTap(figures);
    wire.AddTap(report);
    wire.SetOrigin(MonotonicSeconds());
}

int Run::Finish(nlohmann::ordered_json summary, const std::vector<std::string>& reasons) {
    summary["receive_buffer_bytes"] = wire.ReceiveBufferBytes();
    summary["receive_drops"] = wire.ReceiveDrops();
    summary["verdict"] = reasons.empty() ? "pass" : "fail";
    summary["reasons"] = reasons;
    report.Summary(summary);
    return reasons.empty() ? 0 : 1;
}

}  // namespace peer
