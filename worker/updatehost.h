// What the update worker needs of the dialog, without depending on the ui
// library: the two fields both threads write, and the dialog's two signals
// that the link callbacks emit from the writer threads.
#pragma once

#include <atomic>
#include <cstdint>

class CCalcFWUpdateMSDialog;

class UpdateHost {
 public:
  // One countdown step: lowers the dialog's startCountdownMs by step, never
  // below 0; false when it was 0 already (the transfer begins).
  virtual bool lowerCountdown(int32_t step) = 0;
  // A transfer begins: the dialog's transferActive, so the window refuses to
  // close.
  virtual void transferBegins() = 0;
  // Emit the dialog's updateProgress / updateMessage; called on writer threads.
  virtual void emitUpdateProgress(int percent) = 0;
  virtual void emitUpdateMessage(const wchar_t* text) = 0;

 protected:
  ~UpdateHost() = default;
};

// The process-wide reference to the one dialog. Set by the dialog's
// constructor (GUI thread) before the worker's thread starts; read by the
// entry point, the worker's loop, the link callbacks and the text lookup.
class CurrentDialogRef {
 public:
  void set(CCalcFWUpdateMSDialog* dialog, UpdateHost* host) {
    host_.store(host);
    dialog_.store(dialog);
  }
  CCalcFWUpdateMSDialog* get() const { return dialog_.load(); }
  CCalcFWUpdateMSDialog* operator->() const { return dialog_.load(); }
  UpdateHost* host() const { return host_.load(); }
  explicit operator bool() const { return dialog_.load() != nullptr; }

 private:
  std::atomic<CCalcFWUpdateMSDialog*> dialog_{nullptr};
  std::atomic<UpdateHost*> host_{nullptr};
};

extern CurrentDialogRef currentDialog;

// A countdown step on the field that holds it. A compare-exchange, so a value
// the GUI thread stores meanwhile (the Start press sets 1000) is lowered,
// not overwritten.
inline bool LowerCountdown(std::atomic<int32_t>& countdown, int32_t step) {
  int32_t current = countdown.load();
  int32_t lowered;
  do {
    if (current == 0) return false;
    lowered = current - step < 0 ? 0 : current - step;
  } while (!countdown.compare_exchange_weak(current, lowered));
  return true;
}
