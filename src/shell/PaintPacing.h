#pragma once
// A window's paints start only where they end before the next tick falls due; a paint that would
// not goes right after the tick. And a window is painted at most every few milliseconds, more
// often than any screen shows: under a flood of datagrams every burst would repaint it otherwise,
// at a cost near that of the burst itself. Qt paints a window when the window handles its update
// request, so the window hands each request here.

#include <QtGlobal>
#include <functional>

#include "shell/TickRoom.h"

class QWidget;

namespace shell {

class PaintPacing {
  public:
    // Handles an update request of `window`: paints now with `paint` (the window's own handling),
    // or asks for the request again later and paints then. Gives what `paint` gave, or true for a
    // request taken to be handled later.
    bool Handle(QWidget* window, const std::function<bool()>& paint);

  private:
    void AskAgain(QWidget* window, TickClock::duration after, bool paintAnyway);

    TickClock::time_point lastPaint_;
    double longestSeconds_ = 0;  // the longest paint lately, slowly forgotten
    bool paintAnyway_ = false;   // the request asked for again after a tick is on its way
};

}  // namespace shell
