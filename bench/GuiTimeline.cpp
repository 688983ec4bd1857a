#include "bench/GuiTimeline.h"

#include <time.h>

#include <QEvent>
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <iostream>

#include "net/NMUDP.h"
#include "shell/Gathering.h"
#include "shell/NotifyWindow.h"
#include "shell/TickRoom.h"

namespace bench {
namespace {

double ThreadCpuNow() {
    timespec value{};
    ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &value);
    return static_cast<double>(value.tv_sec) + static_cast<double>(value.tv_nsec) * 1e-9;
}

GuiWork Classify(QObject* receiver, QEvent* event) {
    switch (event->type()) {
        case QEvent::SockAct:
            return GuiWork::Burst;
        case QEvent::UpdateRequest:
        case QEvent::UpdateLater:
        case QEvent::Paint:
            return GuiWork::Paint;
        case QEvent::Timer:
            // Only a timer's notification object gets timer events of a NotifyWindow. What
            // waited for a tick to pass (the rest of a settle, a compaction of the log) goes on
            // from the timer of an object of its own.
            if (dynamic_cast<shell::NotifyWindow*>(receiver) != nullptr) {
                return GuiWork::Tick;
            }
            return receiver->objectName() == QLatin1String(shell::kAfterTickObjectName)
                       ? GuiWork::Settle
                       : GuiWork::Other;
        default:
            return GuiWork::Other;
    }
}

double Overlap(double a, double b, double from, double to) {
    return std::max(0.0, std::min(b, to) - std::max(a, from));
}

}  // namespace

const char* GuiWorkName(GuiWork work) {
    static constexpr std::array<const char*, kGuiWorkKinds> names = {
        "burst of datagrams", "settle of the burst's lines", "paint", "tick",
        "other events",       "the loop between dispatches"};
    return names[static_cast<std::size_t>(work)];
}

GuiTimeline::GuiTimeline(TNMUDP& socket) : socket_(socket) {
    spans_.reserve(1 << 20);
    // The first datagram of a burst registers a mark before the handler can gather anything, so
    // the mark runs first when the burst's lines are put in place.
    socket_.OnDataReceived = [this, original = socket_.OnDataReceived](
                                 TNMUDP& sender, std::int32_t count, const std::string& from,
                                 std::int32_t port) {
        if (inBurst_ && !settleMarked_ && shell::Gathering()) {
            settleMarked_ = true;
            shell::SettleLater([this] {
                if (inBurst_) {
                    EndSpan();
                    StartSpan(GuiWork::Settle, QEvent::SockAct);
                }
            });
        }
        if (original) {
            original(sender, count, from, port);
        }
    };
    ObserveDispatches(this);
}

GuiTimeline::~GuiTimeline() {
    ObserveDispatches(nullptr);
}

void GuiTimeline::StartSpan(GuiWork work, int eventType) {
    GuiSpan span;
    span.work = work;
    span.eventType = eventType;
    span.cpuStart = ThreadCpuNow();
    span.wallStart = Now();
    spans_.push_back(span);
}

void GuiTimeline::EndSpan() {
    GuiSpan& span = spans_.back();
    span.wallEnd = Now();
    span.cpuEnd = ThreadCpuNow();
}

void GuiTimeline::Begin(QObject* receiver, QEvent* event, int depth) {
    if (depth != 0) {
        return;
    }
    const GuiWork work = Classify(receiver, event);
    inBurst_ = work == GuiWork::Burst;
    settleMarked_ = false;
    StartSpan(work, static_cast<int>(event->type()));
}

void GuiTimeline::End(int depth) {
    if (depth != 0 || spans_.empty()) {
        return;
    }
    EndSpan();
    inBurst_ = false;
}

double TickWait::OwnWork() const {
    double sum = 0;
    for (std::size_t kind = 0; kind < kGuiWorkKinds; ++kind) {
        sum += kind == static_cast<std::size_t>(GuiWork::Loop) ? 0 : cpu[kind];
    }
    return sum;
}

std::vector<TickWait> TickWaits(const std::vector<GuiSpan>& spans, double interval, double from,
                                double to) {
    std::vector<std::size_t> ticks;
    for (std::size_t i = 0; i < spans.size(); ++i) {
        if (spans[i].work == GuiWork::Tick && spans[i].wallStart >= from &&
            spans[i].wallStart <= to) {
            ticks.push_back(i);
        }
    }
    std::vector<TickWait> waits;
    if (ticks.empty()) {
        return waits;
    }
    // Each tick is due one interval after the one before, unless that one came more than an
    // interval late: then the timer starts afresh from it. Within a run of ticks without such a
    // restart, the grid is placed where the earliest tick puts it.
    std::vector<double> due(ticks.size());
    for (std::size_t start = 0; start < ticks.size();) {
        auto at = [&](std::size_t i) { return spans[ticks[i]].wallStart; };
        double phase = start == 0 ? at(0) : at(start - 1) + interval;
        std::size_t end = ticks.size();
        for (int pass = 0; pass < 2; ++pass) {
            end = ticks.size();
            double earliest = phase;
            for (std::size_t i = start; i < ticks.size(); ++i) {
                const double grid = phase + static_cast<double>(i - start) * interval;
                earliest = std::min(earliest, at(i) - static_cast<double>(i - start) * interval);
                if (at(i) - grid > interval) {
                    end = i + 1;
                    break;
                }
            }
            phase = start == 0 ? earliest : std::min(phase, earliest);
        }
        for (std::size_t i = start; i < end; ++i) {
            due[i] = phase + static_cast<double>(i - start) * interval;
        }
        start = end;
    }
    std::size_t j = 0;  // the first span that may reach past a due time
    for (std::size_t n = 0; n < ticks.size(); ++n) {
        const std::size_t tick = ticks[n];
        TickWait wait;
        wait.delivered = spans[tick].wallStart;
        wait.due = due[n];
        while (j + 1 < tick && spans[j].wallEnd <= wait.due) {
            ++j;
        }
        // A span, then the loop until the next one.
        for (std::size_t k = j; k < tick; ++k) {
            const GuiSpan& span = spans[k];
            const auto work = static_cast<std::size_t>(span.work);
            const double overlap = Overlap(span.wallStart, span.wallEnd, wait.due, wait.delivered);
            const double length = span.wallEnd - span.wallStart;
            if (overlap > 0 && length > 0) {
                wait.wall[work] += overlap;
                wait.cpu[work] += (span.cpuEnd - span.cpuStart) * overlap / length;
            }
            if (span.wallStart <= wait.due && wait.due < span.wallEnd) {
                wait.runningAtDue = span.work;
            }
            const GuiSpan& next = spans[k + 1];
            const auto loop = static_cast<std::size_t>(GuiWork::Loop);
            const double gap = Overlap(span.wallEnd, next.wallStart, wait.due, wait.delivered);
            const double gapLength = next.wallStart - span.wallEnd;
            if (gap > 0 && gapLength > 0) {
                wait.wall[loop] += gap;
                wait.cpu[loop] += (next.cpuStart - span.cpuEnd) * gap / gapLength;
            }
        }
        waits.push_back(wait);
    }
    return waits;
}

void PutGuiTime(const std::string& prefix, const std::vector<GuiSpan>& spans, double from,
                double to) {
    std::array<double, kGuiWorkKinds> cpu{};
    for (std::size_t i = 0; i < spans.size(); ++i) {
        const GuiSpan& span = spans[i];
        if (span.wallStart >= from && span.wallEnd <= to) {
            cpu[static_cast<std::size_t>(span.work)] += span.cpuEnd - span.cpuStart;
            if (i + 1 < spans.size() && spans[i + 1].wallEnd <= to) {
                cpu[static_cast<std::size_t>(GuiWork::Loop)] += spans[i + 1].cpuStart - span.cpuEnd;
            }
        }
    }
    double busy = 0;
    std::string line = "  the thread's processor time over " + Format(to - from, 1) + " s:";
    for (std::size_t kind = 0; kind < kGuiWorkKinds; ++kind) {
        if (static_cast<GuiWork>(kind) != GuiWork::Loop) {
            busy += cpu[kind];
        }
        line += std::string(" ") + GuiWorkName(static_cast<GuiWork>(kind)) + " " +
                Format(cpu[kind] * 1000, 0) + " ms;";
    }
    std::cerr << line << " busy " << Format(busy / (to - from) * 100, 1) << " %\n";
    for (std::size_t kind = 0; kind < kGuiWorkKinds; ++kind) {
        Put(prefix + "_cpu_ms_" + std::to_string(kind), cpu[kind] * 1000);
    }
    Put(prefix + "_busy_percent", busy / (to - from) * 100);
}

namespace {

// What ran between expiry and tick for the latest ticks, in order: kind, processor (wall) ms.
void DescribeLatest(const std::vector<GuiSpan>& spans, const std::vector<TickWait>& waits,
                    std::size_t count) {
    std::vector<const TickWait*> latest;
    for (const TickWait& wait : waits) {
        latest.push_back(&wait);
    }
    std::sort(latest.begin(), latest.end(),
              [](const TickWait* a, const TickWait* b) { return a->Late() > b->Late(); });
    latest.resize(std::min(count, latest.size()));
    for (const TickWait* wait : latest) {
        std::fprintf(stderr, "  late %.2f ms:", wait->Late() * 1000);
        for (const GuiSpan& span : spans) {
            const double overlap =
                Overlap(span.wallStart, span.wallEnd, wait->due, wait->delivered);
            const double length = span.wallEnd - span.wallStart;
            if (overlap > 0 && length > 0) {
                std::fprintf(stderr, " %s", GuiWorkName(span.work));
                if (span.work == GuiWork::Other) {
                    std::fprintf(stderr, " (event %d)", span.eventType);
                }
                std::fprintf(stderr, " %.2f (%.2f)",
                             (span.cpuEnd - span.cpuStart) * overlap / length * 1000,
                             overlap * 1000);
            }
        }
        std::fprintf(stderr, "\n");
    }
}

}  // namespace

void PutTickWaits(const std::string& prefix, const std::vector<GuiSpan>& spans,
                  const std::vector<TickWait>& waits) {
    if (waits.empty()) {
        return;
    }
    std::vector<double> late;
    std::vector<double> lateRise;
    std::vector<double> own;
    std::size_t overFour = 0;
    for (std::size_t i = 0; i < waits.size(); ++i) {
        late.push_back(waits[i].Late() * 1000);
        own.push_back(waits[i].OwnWork() * 1000);
        overFour += waits[i].OwnWork() > 0.004 ? 1 : 0;
        if (i > 0) {
            lateRise.push_back((waits[i].Late() - waits[i - 1].Late()) * 1000);
        }
    }
    const double count = static_cast<double>(waits.size());
    Put(prefix + "_ticks", count);
    Put(prefix + "_late_median_ms", Percentile(late, 0.5));
    Put(prefix + "_late_p99_ms", Percentile(late, 0.99));
    Put(prefix + "_late_rise_p99_ms", Percentile(lateRise, 0.99));
    Put(prefix + "_own_work_p99_ms", Percentile(own, 0.99));
    Put(prefix + "_own_work_max_ms", Percentile(own, 1.0));
    Put(prefix + "_own_work_over_4ms_percent", static_cast<double>(overFour) / count * 100);

    char line[256];
    std::snprintf(line, sizeof line,
                  "  ticks %zu: late median %.2f, 99th %.2f, largest %.2f ms; rise in lateness "
                  "from the tick before, 99th %.2f ms\n",
                  waits.size(), Percentile(late, 0.5), Percentile(late, 0.99),
                  Percentile(late, 1.0), Percentile(lateRise, 0.99));
    std::cerr << line;
    std::snprintf(line, sizeof line,
                  "  the thread's own work between expiry and tick: median %.2f, 99th %.2f, "
                  "largest %.2f ms; over 4 ms in %.1f %% of ticks\n",
                  Percentile(own, 0.5), Percentile(own, 0.99), Percentile(own, 1.0),
                  static_cast<double>(overFour) / count * 100);
    std::cerr << line;
    std::cerr << "  per cause, processor time between expiry and tick (wall in brackets), ms:\n"
                 "  cause                          mean         99th        largest   running at "
                 "expiry\n";
    for (std::size_t kind = 0; kind < kGuiWorkKinds; ++kind) {
        std::vector<double> cpu;
        std::vector<double> wall;
        std::size_t runningAtDue = 0;
        double cpuSum = 0;
        double wallSum = 0;
        for (const TickWait& wait : waits) {
            cpu.push_back(wait.cpu[kind] * 1000);
            wall.push_back(wait.wall[kind] * 1000);
            cpuSum += wait.cpu[kind] * 1000;
            wallSum += wait.wall[kind] * 1000;
            runningAtDue += static_cast<std::size_t>(wait.runningAtDue) == kind ? 1 : 0;
        }
        std::snprintf(line, sizeof line,
                      "  %-28s %5.2f (%5.2f)  %5.2f (%5.2f)  %5.2f (%5.2f)  %5.1f %%\n",
                      GuiWorkName(static_cast<GuiWork>(kind)), cpuSum / count, wallSum / count,
                      Percentile(cpu, 0.99), Percentile(wall, 0.99), Percentile(cpu, 1.0),
                      Percentile(wall, 1.0), static_cast<double>(runningAtDue) / count * 100);
        std::cerr << line;
        Put(prefix + "_cpu_mean_ms_" + std::to_string(kind), cpuSum / count);
        Put(prefix + "_cpu_p99_ms_" + std::to_string(kind), Percentile(cpu, 0.99));
    }
    DescribeLatest(spans, waits, 5);
}

}  // namespace bench
