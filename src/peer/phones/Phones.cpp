#include "peer/phones/Phones.h"

#include <sys/resource.h>

#include <cmath>

#include "peer/Addresses.h"

namespace peer {

void RaiseDescriptorLimit() {
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
        limit.rlim_cur = limit.rlim_max;
        ::setrlimit(RLIMIT_NOFILE, &limit);
    }
}

Phones::Phones(const AnswerOptions& options, Run& run, SignalWatch& signals,
               const SessionSettings& settings) {
    const std::uint32_t first = ntohl(ParseDotted(options.bind).s_addr);
    const bool range = !options.bindLast.empty();
    std::vector<PhoneLoop::Phone> driven;
    for (int i = 0; i < options.phones; ++i) {
        const auto step = static_cast<std::uint32_t>(i);
        Wire* wire = &run.wire;
        if (i > 0) {
            in_addr address{};
            address.s_addr = htonl(range ? first + step : first);
            const int port =
                range || options.localPort == 0 ? options.localPort : options.localPort + i;
            wire = &run.AddWire(address, static_cast<std::uint16_t>(port), std::nullopt, &run.wire);
        }
        wire->SetPhone(step);
        names_.push_back(EndpointText(wire->Bound()));
        auto session = std::make_unique<Session>(*wire, run.report, run.figures, signals, settings);
        driven.push_back({wire, session.get()});
        phones_.push_back({wire, std::move(session)});
    }
    loop_ = std::make_unique<PhoneLoop>(signals, std::move(driven), settings.ticker);
}

Phones::~Phones() = default;

Session::Stop Phones::RunUntil(const std::function<bool()>& done, double deadline,
                               std::optional<std::uint64_t> requestLimit) {
    const PhoneLoop::Work work{
        [this](std::size_t phone, const DatagramEvent& event) {
            Session& session = *phones_[phone].session;
            const std::uint64_t before = session.Disconnects();
            requests_ += event.look.kind == Kind::Request;
            session.Take(event);
            disconnects_ += session.Disconnects() - before;
        },
        [&]() -> std::size_t {
            if (!requestLimit) {
                return SIZE_MAX;
            }
            return *requestLimit > requests_ ? *requestLimit - requests_ : 0;
        },
    };
    return loop_->RunUntil(work, done, deadline);
}

nlohmann::ordered_json Phones::Impairments() const {
    nlohmann::ordered_json summary = phones_.front().session->Impairments();
    std::uint64_t chunks = 0;
    for (const Phone& phone : phones_) {
        chunks += phone.session->Impairments()["chunks"].get<std::uint64_t>();
    }
    summary["chunks"] = chunks;
    return summary;
}

void Phones::Settle(Figures& figures) const {
    double drift = 0;
    std::uint64_t stalls = 0;
    std::uint64_t sendErrors = 0;
    for (const Phone& phone : phones_) {
        if (std::abs(phone.session->VoiceDrift()) > std::abs(drift)) {
            drift = phone.session->VoiceDrift();
        }
        stalls += phone.session->VoiceStalls();
        sendErrors += phone.wire->SendErrors();
    }
    if (figures.VoiceSent() > 0) {
        figures.SetVoiceTiming(drift, stalls);
    }
    figures.SetSendErrors(sendErrors);
}

}  // namespace peer
