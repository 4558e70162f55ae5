#include "pacing.h"

#include "seams.h"

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <thread>

namespace norza {
namespace {

double ScaleFromEnvironment() {
  const char* text = SeamVariable("NORZA_PACE_SCALE");
  if (text == nullptr) return 1.0;
  char* end = nullptr;
  const double value = std::strtod(text, &end);
  if (end == text || !(value >= 0.0) || value > 1000.0) return 1.0;
  return value;
}

std::atomic<double>& Scale() {
  static std::atomic<double> scale{ScaleFromEnvironment()};
  return scale;
}

std::atomic<PauseObserver> g_observer{nullptr};

}  // namespace

void PauseMs(int milliseconds) {
  if (PauseObserver observer = g_observer.load()) observer(milliseconds);
  const double scaled = milliseconds * Scale().load();
  if (scaled <= 0.0) return;
  std::this_thread::sleep_for(std::chrono::duration<double, std::milli>(scaled));
}

void SetPaceScale(double scale) { Scale().store(scale < 0.0 ? 0.0 : scale); }
double PaceScale() { return Scale().load(); }
void SetPauseObserver(PauseObserver observer) { g_observer.store(observer); }

}  // namespace norza
