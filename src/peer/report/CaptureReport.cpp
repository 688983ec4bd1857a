#include "peer/report/CaptureReport.h"

#include <algorithm>
#include <cstdio>

#include "peer/report/ReportHtml.h"

namespace peer {

CaptureReport::CaptureReport(const CaptureReading& reading) {
    const auto& conversations = reading.Conversations();
    const std::size_t drawn = std::min(conversations.size(), kDrawnConversations);
    for (std::size_t i = 0; i < drawn; ++i) {
        Conversation& conversation = *conversations[i];
        auto collector = std::make_unique<ReportCollector>();
        if (drawn > 1) {
            // Formatted, not joined: GCC 12's release build warns falsely (-Wrestrict) on the
            // joining of strings that would be inlined here.
            char prefix[24];
            std::snprintf(prefix, sizeof prefix, "c%zu-", i + 1);
            collector->Data().idPrefix = prefix;
        }
        conversation.AddTap(*collector);
        conversation.exchanges.Watch([target = collector.get()](const Exchanges::Ended& ended) {
            target->AddReply({ended.t, RequestName(ended.command), ended.status, ended.latency});
        });
        collectors_.push_back(std::move(collector));
    }
}

std::string CaptureReport::Render(const CaptureReading& reading, const std::string& commandLine) {
    std::vector<const ReportData*> drawn;
    for (std::size_t i = 0; i < collectors_.size(); ++i) {
        Conversation& conversation = *reading.Conversations()[i];
        conversation.exchanges.TellUnanswered();
        ReportHead& head = collectors_[i]->Data().head;
        head.local = EndpointText(conversation.local);
        head.peer = EndpointText(conversation.remote);
        head.startedAt = conversation.StartedAt();
        head.TakeSummary(conversation.Summary());
        head.lengthSeconds = head.summary["conversation"].value("seconds", 0.0);
        drawn.push_back(&collectors_[i]->Data());
    }
    const nlohmann::ordered_json summary = reading.Summary();
    return RenderCaptureReport({summary.value("file", ""), commandLine, summary}, drawn,
                               reading.Conversations().size() - drawn.size());
}

}  // namespace peer
