// What the update worker needs of the dialog, without depending on the ui
// library: the two fields both threads write, and the dialog's two signals
// that the link callbacks emit from the writer threads.
#pragma once

#include <atomic>
#include <cstdint>

class CCalcFWUpdateMSDialog;

class UpdateHost {
 public:
  // The dialog's startCountdownMs and transferActive.
  virtual std::atomic<int32_t>& countdownField() = 0;
  virtual std::atomic<bool>& transferActiveField() = 0;
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
