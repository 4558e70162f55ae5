// Every fixed pause of the updater (link, worker and dialog) goes through
// PauseMs, so tests and demos can run the real sequence faster.
#pragma once

namespace norza {

// Sleeps milliseconds x the pacing scale. The scale starts at the value of the
// environment variable NORZA_PACE_SCALE (a decimal number, default 1).
void PauseMs(int milliseconds);

// 1 = real time, 0.01 = a hundred times faster, 0 = no sleeping at all.
void SetPaceScale(double scale);
double PaceScale();

// Tests observe the pauses the system asks for (called before sleeping, on
// the pausing thread). nullptr removes the observer.
using PauseObserver = void (*)(int milliseconds);
void SetPauseObserver(PauseObserver observer);

}  // namespace norza
