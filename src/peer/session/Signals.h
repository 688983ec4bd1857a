#pragma once
// SIGINT, SIGTERM and SIGHUP as readable events, so that a run ends in order wherever it waits
// (its socket, a host-name lookup, a pipe's reader) and still prints its figures. Blocked from
// the start, before anything is sent. SIGPIPE is ignored: a pipe whose reader quit is a write
// error of that one output, not the end of the run.

namespace peer {

class SignalWatch {
  public:
    SignalWatch();
    ~SignalWatch();
    SignalWatch(const SignalWatch&) = delete;
    SignalWatch& operator=(const SignalWatch&) = delete;

    int Descriptor() const { return fd_; }
    // Whether a signal came; reading it once is enough.
    bool Caught();
    // When Caught() first saw it (monotonic seconds).
    double CaughtAt() const { return caughtAt_; }
    // Waits up to `seconds` for a signal, or for `fd` to be ready for `events` (poll's) when
    // `fd` is not -1. True when a signal came.
    bool Wait(double seconds, int fd = -1, short events = 0);

  private:
    int fd_ = -1;
    bool caught_ = false;
    double caughtAt_ = 0;
};

}  // namespace peer
