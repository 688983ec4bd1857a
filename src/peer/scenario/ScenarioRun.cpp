// run: plays a scenario against an endpoint, one step after the other. Datagrams that come are
// kept until an expectation takes them; what none takes is reported, and fails the run only
// with --strict.

#include <algorithm>
#include <array>
#include <cstring>
#include <map>
#include <memory>

#include "peer/Addresses.h"
#include "peer/Clock.h"
#include "peer/Files.h"
#include "peer/PeerError.h"
#include "peer/checks/ExpectedVoice.h"
#include "peer/commands/Subcommands.h"
#include "peer/figures/Unexpected.h"
#include "peer/progress/Planned.h"
#include "peer/scenario/ArrivalPool.h"
#include "peer/scenario/Scenario.h"
#include "peer/session/EventLoop.h"
#include "peer/session/ImpairedOutlet.h"
#include "peer/session/VoiceStream.h"

namespace peer {
namespace {

std::string Brief(const Arrival& arrival) {
    return Describe(arrival.look, arrival.size, arrival.from);
}

std::string Milliseconds(double seconds) {
    return std::to_string(std::llround(seconds * 1000)) + " ms";
}

class Player {
  public:
    Player(const Scenario& scenario, Run& run, SignalWatch& signals, const sockaddr_in& to,
           const ScenarioOptions& options)
        : scenario_(scenario),
          run_(run),
          loop_(signals),
          outlet_(run.wire, options.impairments),
          to_(to),
          target_(options.target),
          jitter_(options.impairments.jitterMs / 1000) {
        loop_.SetTicker(run.progress.get());
        outlet_.SetDestination(to);
        outlet_.MarkInto(run.Collector());
        wires_.push_back(&run.wire);
        // Every file and every socket the steps need, before anything is sent.
        for (const ScenarioStep& step : scenario.steps) {
            const std::string where = scenario.path + ":" + std::to_string(step.line) + ": ";
            if (step.type == ScenarioStep::Type::Stream && streams_.count(step.file) == 0) {
                try {
                    FileHandle file = OpenToRead(step.file, "stream");
                    streams_[step.file] = std::make_unique<VoiceStream>(file.Release(), outlet_);
                } catch (const UsageError& error) {
                    throw UsageError(where + error.what());
                }
            }
            if (step.from && senders_.count(*step.from) == 0) {
                try {
                    Wire& wire = run.AddWire(ParseDotted(*step.from));
                    senders_[*step.from] = &wire;
                    wires_.push_back(&wire);
                } catch (const UsageError& error) {
                    throw UsageError(where + "from=" + *step.from + ": " + error.what());
                }
            }
        }
    }

    void Play() {
        std::size_t reached = 0;
        for (const ScenarioStep& step : scenario_.steps) {
            run_.report.LogLine("line " + std::to_string(step.line) + ": " + step.text);
            ++reached;
            const double start = MonotonicSeconds();
            std::optional<std::string> fault = Do(step);
            const double seconds = MonotonicSeconds() - start;
            if (interrupted_) {
                steps_.push_back({Check::Outcome::Skipped, Interrupted().what(), seconds});
                Stepped(step, start, Interrupted().what());
                break;
            }
            Stepped(step, start, fault);
            if (fault) {
                failure_ = {{"line", step.line}, {"step", step.text}, {"reason", *fault}};
                reason_ = scenario_.path + ":" + std::to_string(step.line) + ": " + step.text +
                          ": " + *fault;
                steps_.push_back({Check::Outcome::Failed, *reason_, seconds});
                break;
            }
            steps_.push_back({Check::Outcome::Passed, "", seconds});
            ++done_;
        }
        if (ReportCollector* collector = run_.Collector()) {
            for (std::size_t i = reached; i < scenario_.steps.size(); ++i) {
                const ScenarioStep& step = scenario_.steps[i];
                collector->AddStep(
                    {step.line, step.text, StepRecord::Outcome::NotReached, 0, 0, ""});
            }
        }
        // The stream ends with the scenario; chunks made late still go out.
        StopStream();
        if (!interrupted_) {
            Wait([this] { return !outlet_.Waiting(); }, MonotonicSeconds() + jitter_ + 1);
        }
        Settle();
    }

    // Each step is a check: passed, failed (the first that did), or skipped, as the steps after
    // a failure or a signal are.
    nlohmann::ordered_json Summary(bool strict, Verdict& verdict) const {
        for (std::size_t i = 0; i < scenario_.steps.size(); ++i) {
            const ScenarioStep& step = scenario_.steps[i];
            const std::string name = "line " + std::to_string(step.line) + ": " + step.text;
            if (i >= steps_.size()) {
                verdict.Skip(name, "step", "not reached");
            } else if (steps_[i].outcome == Check::Outcome::Failed) {
                verdict.Fail(name, "step", steps_[i].reason, steps_[i].seconds);
            } else if (steps_[i].outcome == Check::Outcome::Skipped) {
                verdict.Skip(name, "step", steps_[i].reason);
            } else {
                verdict.Pass(name, "step", steps_[i].seconds);
            }
        }
        verdict.JudgeSignal(interrupted_);
        // What came from elsewhere, what was pushed out of the pool, and what is left in it.
        const std::uint64_t unexpected =
            strangers_.Count() + pool_.PushedOut().Count() + pool_.Count();
        if (strict) {
            verdict.Judge("nothing unexpected (--strict)", "strict",
                          unexpected == 0
                              ? std::vector<std::string>{}
                              : std::vector<std::string>{
                                    std::to_string(unexpected) +
                                    " datagrams came that no expectation took (--strict)"});
        }
        const auto left = pool_.First(Unexpected::kListed);
        nlohmann::ordered_json summary = run_.figures.Summary();
        summary["impairments"] = outlet_.Summary();
        summary["scenario"] = {
            {"file", scenario_.path},
            {"steps", scenario_.steps.size()},
            {"steps_done", done_},
            {"failed_step", failure_},
            {"unexpected", unexpected},
            {"unexpected_datagrams",
             Unexpected::Merged({&strangers_.Listed(), &pool_.PushedOut().Listed(), &left})},
        };
        return summary;
    }

  private:
    std::optional<std::string> Do(const ScenarioStep& step) {
        switch (step.type) {
            case ScenarioStep::Type::Send:
                return Send(step);
            case ScenarioStep::Type::Expect:
                return Expect(step);
            case ScenarioStep::Type::Wait:
                Wait([] { return false; }, MonotonicSeconds() + step.seconds);
                return std::nullopt;
            case ScenarioStep::Type::WaitStream:
                Wait([this] { return current_ == nullptr || !current_->Running(); });
                return std::nullopt;
            case ScenarioStep::Type::Stream: {
                VoiceStream& stream = *streams_.at(step.file);
                if (current_ != &stream) {
                    StopStream();
                }
                if (step.seq) {
                    nextSeq_ = *step.seq;
                }
                if (step.target) {
                    target_ = *step.target;
                }
                current_ = &stream;
                // A file streamed again goes on where it stopped, as the window's does.
                stream.Start(MonotonicSeconds(), step.chunks);
                return std::nullopt;
            }
            case ScenarioStep::Type::Stop:
                StopStream();
                return std::nullopt;
        }
        return std::nullopt;
    }

    std::optional<std::string> Send(const ScenarioStep& step) {
        std::vector<std::uint8_t> bytes;
        if (step.hex) {
            bytes = *step.hex;
        } else {
            if (step.seq) {
                nextSeq_ = *step.seq;
            }
            if (step.target) {
                target_ = *step.target;
            }
            std::array<std::uint8_t, phone::kRequestSize> request{};
            phone::BuildRequest(request, static_cast<phone::Command>(step.command),
                                phone::TakeRequestSeq(nextSeq_), target_);
            phone::WriteWord(request, phone::kOffsetStatus,
                             static_cast<std::uint16_t>(step.status.value_or(0)));
            bytes.assign(request.begin(), request.end());
        }
        Wire& wire = step.from ? *senders_.at(*step.from) : run_.wire;
        const double stamp = RealtimeSeconds();
        const double sentAt = MonotonicSeconds();
        if (!wire.Send(to_, bytes)) {
            return std::string("cannot send to ") + EndpointText(to_) + ": " +
                   std::strerror(wire.LastSendError());
        }
        const DatagramLook look = LookAt(bytes);
        if (look.kind == Kind::Request) {
            // Its reply, whenever it comes, gives the latency, as for call.
            Asked asked{look.header.Command, stamp, std::nullopt};
            if (ReportCollector* collector = run_.Collector()) {
                asked.record = collector->AddReply({collector->RunTime(sentAt),
                                                    RequestName(look.header.Command), std::nullopt,
                                                    std::nullopt});
            }
            asked_[look.header.Seq] = asked;
        }
        return std::nullopt;
    }

    bool Satisfied(const ScenarioStep& step) const {
        return taken_ >= (step.kind == Kind::Voice ? step.count : 1);
    }

    std::optional<std::string> Expect(const ScenarioStep& step) {
        // What came before the step counts; voice is taken all at once, as a stream.
        taken_ = pool_.Take(
            [&](const Arrival& arrival) {
                return Expected(step, arrival.look, arrival.size, target_);
            },
            step.kind == Kind::Voice);
        if (!Satisfied(step)) {
            expecting_ = &step;
            Wait([&] { return Satisfied(step); }, MonotonicSeconds() + step.within);
            expecting_ = nullptr;
        }
        if (Satisfied(step) || interrupted_) {
            return std::nullopt;
        }
        if (step.kind == Kind::Voice) {
            return "only " + std::to_string(taken_) + " of " + std::to_string(step.count) +
                   " voice datagrams within " + Milliseconds(step.within);
        }
        std::string fault = "nothing that matches within " + Milliseconds(step.within);
        // The nearest miss: the latest of the same kind (and command) that no step took.
        const auto alike = [&](const Arrival& arrival) {
            return arrival.look.kind == step.kind &&
                   (step.kind == Kind::Ignored || step.kind == Kind::Voice ||
                    arrival.look.header.Command == step.command);
        };
        if (const auto near = pool_.Latest(alike)) {
            return fault + "; came: " + Brief(*near);
        }
        if (lastStranger_ && alike(*lastStranger_)) {
            return fault + "; came: " + Brief(*lastStranger_) + ", not from the peer";
        }
        const auto last = pool_.Latest([](const Arrival&) { return true; });
        return fault + (!last ? "; nothing came"
                              : "; came: " + std::to_string(pool_.Count()) +
                                    " other datagrams, the last " + Brief(*last));
    }

    void Handle(const DatagramEvent& event) {
        const Arrival arrival{event.look, event.bytes.size(), event.peer, arrivals_++};
        if (!FromEndpoint(event, to_)) {
            // Only the endpoint played against answers for it.
            strangers_.Add(event, "not from the peer", arrival.order);
            lastStranger_ = arrival;
            return;
        }
        if (event.look.kind == Kind::Reply) {
            const auto asked = asked_.find(event.look.header.Seq);
            if (asked != asked_.end() && asked->second.command == event.look.header.Command) {
                const double latency = event.stamp - asked->second.stamp;
                run_.figures.AddReplyLatency(latency);
                run_.figures.CountAnswered();
                if (asked->second.record) {
                    ReplyRecord& record = run_.Collector()->Data().replies[*asked->second.record];
                    record.status = event.look.header.Status;
                    record.latency = latency;
                }
                asked_.erase(asked);
            }
        }
        if (expecting_ != nullptr && (expecting_->kind == Kind::Voice || taken_ == 0) &&
            Expected(*expecting_, arrival.look, arrival.size, target_)) {
            ++taken_;
            return;
        }
        pool_.Add(arrival);
    }

    // The step as the report shows it, with its time on the run's clock.
    void Stepped(const ScenarioStep& step, double start, const std::optional<std::string>& fault) {
        if (ReportCollector* collector = run_.Collector()) {
            collector->AddStep({step.line, step.text,
                                fault ? StepRecord::Outcome::Failed : StepRecord::Outcome::Passed,
                                collector->RunTime(start), collector->RunTime(MonotonicSeconds()),
                                fault.value_or("")});
        }
    }

    void StopStream() {
        if (current_ != nullptr) {
            current_->Pause();
        }
        outlet_.Release();
    }

    double NextDue() const {
        const bool streaming = current_ != nullptr && current_->Running();
        return std::min(streaming ? current_->NextDeadline() : EventLoop::kNever,
                        outlet_.NextDue());
    }

    void Act(double now) {
        outlet_.SendDue(now);
        if (current_ != nullptr && current_->Running() && now >= current_->NextDeadline()) {
            current_->SendDue(now, nextSeq_, target_);
        }
    }

    void Wait(const std::function<bool()>& done, double deadline = EventLoop::kNever) {
        const EventLoop::Work work{
            [this](Wire&, const DatagramEvent& event) { Handle(event); },
            [this] { return NextDue(); },
            [this](double now) { Act(now); },
            nullptr,
        };
        if (loop_.RunUntil(wires_, work, done, deadline) == EventLoop::Stop::Signal) {
            interrupted_ = true;
        }
    }

    void Settle() {
        std::uint64_t stalls = 0;
        for (const auto& [file, stream] : streams_) {
            stalls += stream->Stalls();
        }
        if (current_ != nullptr && run_.figures.VoiceSent() > 0) {
            run_.figures.SetVoiceTiming(current_->Drift(), stalls);
        }
        std::uint64_t errors = 0;
        for (const Wire* wire : wires_) {
            errors += wire->SendErrors();
        }
        run_.figures.SetSendErrors(errors);
    }

    const Scenario& scenario_;
    Run& run_;
    EventLoop loop_;
    ImpairedOutlet outlet_;
    sockaddr_in to_;
    std::int32_t target_;
    double jitter_;
    std::int32_t nextSeq_ = 1;
    std::vector<Wire*> wires_;
    std::map<std::string, Wire*> senders_;
    std::map<std::string, std::unique_ptr<VoiceStream>> streams_;
    VoiceStream* current_ = nullptr;

    // A request sent, by its Seq, until its reply: the reply's latency counts from `stamp`.
    struct Asked {
        std::int16_t command = 0;
        double stamp = 0;
        std::optional<std::size_t> record;  // its place among the report's replies
    };
    std::map<std::uint16_t, Asked> asked_;
    ArrivalPool pool_;  // came from the endpoint, and no expectation took it yet
    Unexpected strangers_;
    std::optional<Arrival> lastStranger_;
    std::uint64_t arrivals_ = 0;
    const ScenarioStep* expecting_ = nullptr;
    std::uint64_t taken_ = 0;

    struct StepResult {
        Check::Outcome outcome;
        std::string reason;
        double seconds;
    };
    std::vector<StepResult> steps_;  // of the steps played
    std::size_t done_ = 0;
    bool interrupted_ = false;
    nlohmann::ordered_json failure_ = nullptr;
    std::optional<std::string> reason_;
};

}  // namespace

int RunScenario(const ScenarioOptions& options, SignalWatch& signals) {
    std::vector<FileUse> uses = {{"SCENARIO", options.scenario, FileRole::Source},
                                 {"--pcap", options.pcap, FileRole::Stream},
                                 {"--expect-voice", options.expectVoice.file, FileRole::Source},
                                 {"--junit", options.junit, FileRole::Document},
                                 {"--report", options.report, FileRole::Document}};
    CheckFileUses(uses);
    const Scenario scenario = ParseScenario(options.scenario);
    for (const ScenarioStep& step : scenario.steps) {
        if (step.type == ScenarioStep::Type::Stream) {
            uses.push_back({"stream", step.file, FileRole::Source});
        }
    }
    CheckFileUses(uses);
    const HostAndPort host = SplitHostPort(options.host, 20080, "HOST");
    const in_addr address = Resolve(host.host, signals);
    std::optional<ExpectedVoice> expected;
    if (!options.expectVoice.file.empty()) {
        expected.emplace(options.expectVoice);
    }
    Run run(options, signals);
    if (expected) {
        run.AddTap(*expected);
    }
    run.ShowProgress(PlannedSeconds(scenario));
    Player player(scenario, run, signals, MakeEndpoint(address, host.port), options);
    player.Play();
    Verdict verdict(options.commandName, options.subject);
    nlohmann::ordered_json summary = player.Summary(options.strict, verdict);
    // The voice is judged where the scenario has some.
    const bool voice =
        std::any_of(scenario.steps.begin(), scenario.steps.end(), [](const auto& step) {
            return step.type == ScenarioStep::Type::Stream ||
                   (step.type == ScenarioStep::Type::Expect && step.kind == Kind::Voice);
        });
    if (voice) {
        verdict.Pass("voice pacing", "pacing").output = PacingFigures(summary);
    }
    if (expected) {
        expected->Finish(MonotonicSeconds() - run.origin, summary, verdict, run.Collector());
    }
    return run.Finish(summary, verdict);
}

}  // namespace peer
