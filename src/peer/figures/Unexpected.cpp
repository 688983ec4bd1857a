#include "peer/figures/Unexpected.h"

#include <algorithm>

#include "peer/Addresses.h"
#include "peer/DatagramLook.h"

namespace peer {

std::string Describe(const DatagramLook& look, std::size_t size, const sockaddr_in& from) {
    std::string text = KindName(look.kind);
    if (look.kind == Kind::Request || look.kind == Kind::Reply) {
        text += " " + CommandName(look.header.Command) +
                " status=" + std::to_string(look.header.Status);
    }
    if (look.kind != Kind::Ignored) {
        text += " target=" + std::to_string(look.header.Target) +
                " seq=" + std::to_string(look.header.Seq);
    } else if (look.reason != nullptr) {
        text += std::string(" (") + look.reason + ")";
    }
    return text + " size=" + std::to_string(size) + " from " + EndpointText(from);
}

void Unexpected::Add(const DatagramEvent& event, const char* reason, std::uint64_t order) {
    Add(order,
        [&] { return Describe(event.look, event.bytes.size(), event.peer) + ": " + reason; });
}

nlohmann::ordered_json Unexpected::Merged(
    std::initializer_list<const std::vector<std::pair<std::uint64_t, std::string>>*> lists) {
    std::vector<std::pair<std::uint64_t, std::string>> all;
    for (const auto* list : lists) {
        all.insert(all.end(), list->begin(), list->end());
    }
    std::stable_sort(all.begin(), all.end(),
                     [](const auto& a, const auto& b) { return a.first < b.first; });
    nlohmann::ordered_json merged = nlohmann::ordered_json::array();
    for (std::size_t i = 0; i < all.size() && i < kListed; ++i) {
        merged.push_back(all[i].second);
    }
    return merged;
}

nlohmann::ordered_json Unexpected::List() const {
    nlohmann::ordered_json list = nlohmann::ordered_json::array();
    for (const auto& [order, text] : listed_) {
        list.push_back(text);
    }
    return list;
}

}  // namespace peer
