#pragma once
// What every benchmark needs: clocks, processor and memory readings from the kernel, pinning to a
// core, a paced loopback sender, the program's own timer observed from outside, and the line
// format in which a measurement process hands its figures to the driver.

#include <netinet/in.h>
#include <pthread.h>
#include <sys/types.h>

#include <QObject>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "app/FormDescription.h"
#include "shell/Report.h"

class QApplication;
class QEvent;
class TForm1;

namespace bench {

// Seconds on the monotonic clock.
double Now();

// Keeps the calling thread on one core; false when the machine has no such core.
bool PinThisThread(int cpu);
// The window's thread, and a baseline's standing in for it: pinned to core 0 and, when bench.sh
// was given --gui-share, held to that share of a processor (it throws when that fails). Threads
// it starts share its core and its share.
void BecomeWindowThread();
// The benchmark's own peer threads: pinned to core 1, named, so a profile can leave them out, and
// free of the window's share.
void BecomePeerThread();

// Processor time (user + system) in seconds, at nanosecond resolution.
double ProcessCpuSeconds();
double ThreadCpuSeconds(pthread_t thread);
// utime + stime of any process, from /proc/PID/stat (clock-tick resolution).
double ProcCpuSeconds(pid_t pid);
// Seconds the calling thread was runnable but waited for a processor (/proc/thread-self/schedstat):
// what other work on its core took from it.
double ThreadWaitSeconds();
// Resident set size in bytes, from /proc/PID/statm; pid 0 is this process.
std::int64_t ResidentBytes(pid_t pid = 0);
// Datagrams the kernel dropped on the UDP socket bound to this local port (/proc/net/udp).
std::int64_t SocketDrops(std::uint16_t localPort);

double Percentile(std::vector<double> values, double fraction);

// A UDP socket on a loopback address, blocking, with a receive buffer of `receiveBuffer` bytes
// (forced past the system's limit: it belongs to the benchmark, not to the program).
int LoopbackSocket(const std::string& address, std::uint16_t port, int receiveBuffer);
std::uint16_t LocalPort(int fd);
sockaddr_in LoopbackAddress(const std::string& address, std::uint16_t port);

// Sends `count` datagrams at `rate` per second, datagram i no earlier than start + i / rate and
// as soon after as the core allows. `fill` writes datagram i; `idle` runs while the next send is
// not due yet. Sending ends early once `stop` is set. Returns the datagrams sent and the seconds
// the sending took.
struct PacedSending {
    std::uint64_t sent = 0;
    double seconds = 0;
    double Rate() const { return seconds > 0 ? static_cast<double>(sent) / seconds : 0; }
};
PacedSending SendPaced(int fd, const sockaddr_in& to, std::uint64_t count, double rate,
                       std::size_t size,
                       const std::function<void(std::uint8_t*, std::uint64_t)>& fill,
                       const std::function<void()>& idle = {},
                       const std::atomic<bool>* stop = nullptr);

// Rising rates: each step runs while the previous passed; a failed step is run once more before
// the search ends (one disturbance of a shared machine does not end it).
struct StepOutcome {
    bool passed = false;
    bool senderLimited = false;  // the sender could not reach the rate: the search cannot go on
    std::string note;            // what happened, for the table
};
struct RateSearch {
    double highestPassed = 0;
    std::string passedNote;
    double firstFailed = 0;
    std::string failedNote;
    bool senderLimited = false;
};
RateSearch SearchRates(const std::vector<double>& rates,
                       const std::function<StepOutcome(double rate)>& step);

// The benchmark's report seam: a box is written to standard error and counted, never shown.
class CountingBoxes final : public shell::ReportBoxes {
  public:
    void ShowErrorBox(const std::string& title, const std::string& text) override;
    void ShowFatalBox(const std::string& title, const std::string& text) override;
    int shown = 0;
};

// Sees every event that Qt hands to an object on the GUI thread as it begins and as it ends,
// nested ones included (the depth tells them apart).
class DispatchObserver {
  public:
    virtual ~DispatchObserver() = default;
    virtual void Begin(QObject* receiver, QEvent* event, int depth) = 0;
    virtual void End(int depth) = 0;
};

// The observer the application reports to from now on; nullptr for none.
void ObserveDispatches(DispatchObserver* observer);

// The application object as the program makes it, on the offscreen platform, with the report
// seam installed; it only adds a look at each dispatch for an observer, if one is set. The calling
// (GUI) thread is pinned to core 0 first, so that Qt's threads are too.
class OffscreenApplication {
  public:
    OffscreenApplication();
    ~OffscreenApplication();
    QApplication& Application() { return *application_; }
    // Reports the program made since the process began.
    int BoxesShown() const;

  private:
    std::vector<std::string> arguments_;
    std::vector<char*> argv_;
    int argc_ = 0;
    std::unique_ptr<QApplication> application_;
};

// The stored window with eIP and ePort naming a loopback peer and the socket on a free port, so
// that nothing the window sends can leave loopback and runs do not collide.
FormDescription BenchForm1(const std::string& eIP, std::uint16_t peerPort);

// Times every tick of the program's Timer1 as it is delivered on the GUI thread: an event filter
// on the application sees the timer event reach the timer's own notification object, right
// before the program's handler runs. Nothing of the benchmark's own is timed.
class TickObserver final : public QObject {
  public:
    TickObserver();
    ~TickObserver() override;
    // Tick times in seconds (Now()); the filter only appends.
    const std::vector<double>& Ticks() const { return ticks_; }
    // The largest gap between consecutive ticks within [from, to], counting the gaps that
    // reach into the interval from the last tick before it and to the first tick after it.
    double LargestGap(double from, double to) const;

  protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

  private:
    std::vector<double> ticks_;
};

// Runs Qt's event loop until `done` holds, testing it every `pollMs` from a timer of the
// benchmark (a separate, light timer: it only reads flags).
void RunUntil(const std::function<bool()>& done, int pollMs = 20);

// A measurement process's results: "name=value" lines on standard output.
void Put(const std::string& name, double value);
void Put(const std::string& name, const std::string& value);

// Runs this executable again with `arguments` and gives the "name=value" lines it printed.
// Its standard error passes through.
std::map<std::string, std::string> RunChild(const std::vector<std::string>& arguments);
double Number(const std::map<std::string, std::string>& results, const std::string& name,
              double fallback = -1);

// A row of the driver's table: the driver (bench.sh) lines the rows up.
void Row(const std::string& figure, const std::string& value, const std::string& target,
         const std::string& baseline, const std::string& verdict);
std::string Format(double value, int decimals);
std::string Verdict(bool met);

// The directory of this executable, where the voice files sit.
std::string ExecutableDirectoryPath();

}  // namespace bench
