#include "peer/figures/Exchanges.h"

#include <algorithm>
#include <string>
#include <vector>

#include "phone/PhoneDatagram.h"

namespace peer {
namespace {

std::string StatusName(std::int16_t status) {
    switch (status) {
        case phone::StatusAccepted:
            return "accepted";
        case phone::StatusRejected:
            return "refused";
        default:
            return std::to_string(status);
    }
}

nlohmann::ordered_json Named(const std::map<std::int16_t, std::uint64_t>& counts,
                             std::string (*name)(std::int16_t)) {
    nlohmann::ordered_json named = nlohmann::ordered_json::object();
    for (const auto& [code, count] : counts) {
        named[name(code)] = count;
    }
    return named;
}

}  // namespace

Exchanges::Request& Exchanges::At(std::uint16_t seq) {
    auto& page = pages_[seq >> 8];
    if (!page) {
        page = std::make_unique<std::array<Request, 256>>();
    }
    return (*page)[seq & 0xFF];
}

void Exchanges::OnDatagram(const DatagramEvent& event) {
    const phone::PhoneDatagram& header = event.look.header;
    if (event.look.kind == Kind::Request) {
        ++(event.outgoing ? requestsSent_ : requestsReceived_)[header.Command];
        if (event.outgoing) {
            Request& request = At(header.Seq);
            if (watcher_ && request.waiting) {
                watcher_({request.t, request.command, std::nullopt, std::nullopt});
            }
            request = {event.t, event.stamp, header.Command, true};
        }
    } else if (event.look.kind == Kind::Reply) {
        ++(event.outgoing ? repliesSent_ : repliesReceived_)[header.Command][header.Status];
        if (!event.outgoing && Known(header.Seq)) {
            Request& request = At(header.Seq);
            if (request.waiting && request.command == header.Command) {
                request.waiting = false;
                figures_.AddReplyLatency(event.stamp - request.stamp);
                figures_.CountAnswered();
                if (watcher_) {
                    watcher_(
                        {request.t, request.command, header.Status, event.stamp - request.stamp});
                }
            }
        }
    }
}

void Exchanges::TellUnanswered() {
    if (!watcher_) {
        return;
    }
    std::vector<const Request*> waiting;
    for (const auto& page : pages_) {
        for (std::size_t i = 0; page && i < page->size(); ++i) {
            if ((*page)[i].waiting) {
                waiting.push_back(&(*page)[i]);
            }
        }
    }
    std::stable_sort(waiting.begin(), waiting.end(),
                     [](const Request* a, const Request* b) { return a->t < b->t; });
    for (const Request* request : waiting) {
        watcher_({request->t, request->command, std::nullopt, std::nullopt});
    }
}

nlohmann::ordered_json Exchanges::ByCommand() const {
    nlohmann::ordered_json byCommand = {
        {"requests_sent", Named(requestsSent_, CommandName)},
        {"requests_received", Named(requestsReceived_, CommandName)}};
    for (const auto& [key, replies] :
         {std::pair{"replies_sent", &repliesSent_}, {"replies_received", &repliesReceived_}}) {
        nlohmann::ordered_json named = nlohmann::ordered_json::object();
        for (const auto& [command, statuses] : *replies) {
            named[CommandName(command)] = Named(statuses, StatusName);
        }
        byCommand[key] = named;
    }
    return byCommand;
}

}  // namespace peer
