#pragma once
// Feeds the running figures from the wire: every datagram sent or received, and the receive
// stamps of the voice.

#include "peer/progress/LiveFigures.h"
#include "peer/session/Wire.h"

namespace peer {

class ProgressTap final : public DatagramTap {
  public:
    explicit ProgressTap(LiveFigures& figures) : figures_(&figures) {}

    void OnDatagram(const DatagramEvent& event) override {
        if (event.outgoing) {
            figures_->Sent(event.t);
            return;
        }
        figures_->Received(event.t);
        if (event.look.kind == Kind::Voice) {
            figures_->VoiceReceived(event.t, event.stamp);
        }
    }

  private:
    LiveFigures* figures_;
};

}  // namespace peer
