#pragma once
// Where the GUI thread's time goes while a tick of Timer1 is due and not yet delivered. Every
// dispatch of Qt's loop (an event with all that runs inside it) is stamped as it begins and ends,
// in wall time and in the thread's own processor time, and classed by what it is; a burst of
// datagrams is split where its gathered lines begin to be put in place. Against each tick's due
// time this tells what ran between the expiry and the tick, and how much of that was the thread's
// own work rather than a wait for a processor, which other work on the machine causes.

#include <QObject>
#include <array>
#include <string>
#include <vector>

#include "bench/BenchSupport.h"

class TNMUDP;

namespace bench {

// What the GUI thread did. Loop: between dispatches (the loop itself, and its sleep).
enum class GuiWork { Burst, Settle, Paint, Tick, Other, Loop };
inline constexpr std::size_t kGuiWorkKinds = 6;
const char* GuiWorkName(GuiWork work);

struct GuiSpan {
    GuiWork work = GuiWork::Other;
    int eventType = 0;
    double wallStart = 0;  // Now()
    double wallEnd = 0;
    double cpuStart = 0;  // the thread's processor time
    double cpuEnd = 0;
};

class GuiTimeline final : public DispatchObserver {
  public:
    // Observes the application's dispatches and `socket`'s handler, for as long as it lives.
    explicit GuiTimeline(TNMUDP& socket);
    ~GuiTimeline() override;
    GuiTimeline(const GuiTimeline&) = delete;
    GuiTimeline& operator=(const GuiTimeline&) = delete;

    void Begin(QObject* receiver, QEvent* event, int depth) override;
    void End(int depth) override;

    const std::vector<GuiSpan>& Spans() const { return spans_; }

  private:
    void StartSpan(GuiWork work, int eventType);
    void EndSpan();

    TNMUDP& socket_;
    std::vector<GuiSpan> spans_;
    bool inBurst_ = false;
    bool settleMarked_ = false;
};

// One tick against its due time, with the wall and processor time of each kind of work between.
struct TickWait {
    double due = 0;
    double delivered = 0;
    std::array<double, kGuiWorkKinds> wall{};
    std::array<double, kGuiWorkKinds> cpu{};
    GuiWork runningAtDue = GuiWork::Loop;
    double Late() const { return delivered - due; }
    double OwnWork() const;  // processor time of the thread's dispatches, the loop's excluded
};

// The ticks delivered within [from, to]. Due times follow the precise timer's grid: each tick is
// due one interval after the one before, so the grid is placed where the earliest tick puts it.
std::vector<TickWait> TickWaits(const std::vector<GuiSpan>& spans, double interval, double from,
                                double to);

// The thread's processor time in each kind of work over [from, to], as result lines
// (prefix_..._ms) and on standard error, with its share of the wall time.
void PutGuiTime(const std::string& prefix, const std::vector<GuiSpan>& spans, double from,
                double to);

// Writes the figures as result lines (prefix_...) and a readable breakdown to standard error,
// with what ran before the latest ticks.
void PutTickWaits(const std::string& prefix, const std::vector<GuiSpan>& spans,
                  const std::vector<TickWait>& waits);

}  // namespace bench
