#pragma once
// SIGINT and SIGTERM as readable events, so that a run waiting on its socket ends in order and
// still prints its figures. Blocked from the start, before anything is sent.

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

  private:
    int fd_ = -1;
    bool caught_ = false;
};

}  // namespace peer
