#include "emulator_calculator.h"

#include <cstring>

namespace norza::emu {

void Calculator::Session::NoteSeek(int64_t position) {
  if (position != kCommandWindowOffset) anchor_ = position;
}

Calculator::Calculator(std::unique_ptr<Storage> storage, std::shared_ptr<JournalSink> journal,
                       Faults faults, Hooks hooks)
    : storage_(std::move(storage)),
      journal_(std::move(journal)),
      faults_(faults),
      hooks_(std::move(hooks)) {}

std::unique_ptr<Calculator::Session> Calculator::Open() {
  std::lock_guard<std::mutex> lock(mutex_);
  if (journal_) journal_->Record(JournalEvent::Simple("open"));
  return std::make_unique<Session>();
}

void Calculator::Close(std::unique_ptr<Session> session) {
  if (!session) return;
  std::lock_guard<std::mutex> lock(mutex_);
  if (journal_) journal_->Record(JournalEvent::Simple("close"));
}

int64_t Calculator::Size() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return storage_->Size();
}

namespace {

void SetError(std::string* error, const char* text) {
  if (error != nullptr) *error = text;
}

constexpr const char* kGoneText = "the calculator is not connected";
constexpr const char* kBoundsText = "the transfer goes past the end of the disk";

}  // namespace

bool Calculator::Write(Session& session, int64_t offset, const void* data, std::size_t length,
                       std::string* error) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (gone_) {
    SetError(error, kGoneText);
    return false;
  }
  const auto* bytes = static_cast<const uint8_t*>(data);
  if (!plainDisk_ && offset == kCommandWindowOffset && IsCommandBlock(bytes, length)) {
    return HandleCommand(session, bytes, error);
  }

  // A positional data write.
  if (VanishDue()) {
    SetError(error, kGoneText);
    return false;
  }
  if (faults_.failWrites > 0) {
    --faults_.failWrites;
    if (journal_) journal_->Record(JournalEvent::Fault("fail-write"));
    FaultsChanged();
    SetError(error, "injected write failure");
    return false;
  }
  if (!storage_->Write(offset, data, length)) {
    if (journal_)
      journal_->Record(JournalEvent::Error("write", offset, static_cast<int64_t>(length)));
    SetError(error, InBounds(offset, length, storage_->Size()) ? "the disk cannot be written"
                                                               : kBoundsText);
    return false;
  }
  if (journal_) journal_->Record(JournalEvent::Io("write", offset, static_cast<int64_t>(length)));
  if (faults_.vanishAfterWrites) {
    // Counted down in the faults as well, so the count goes on across opens
    // and processes; gone right after the Nth write, before discovery looks again.
    --*faults_.vanishAfterWrites;
    if (!VanishDue()) FaultsChanged();
  }
  return true;
}

bool Calculator::VanishDue() {
  if (!faults_.vanishAfterWrites || *faults_.vanishAfterWrites > 0) return false;
  faults_.vanishAfterWrites.reset();
  if (journal_) journal_->Record(JournalEvent::Fault("vanish"));
  FaultsChanged();
  // What was written so far reaches the disk file: a calculator that comes
  // back is opened afresh from it, while this object may live on.
  storage_->Flush();
  gone_ = true;
  if (hooks_.vanished) hooks_.vanished();
  return true;
}

bool Calculator::HandleCommand(Session& session, const uint8_t* block, std::string* error) {
  const uint32_t code = LoadLe32(block + 12);
  const uint32_t parameter = LoadLe32(block + 16);
  lastCommand_.assign(block, block + kBlockSize);

  bool accepted = true;
  if (faults_.rejectCommand && *faults_.rejectCommand == code) {
    accepted = false;
    if (journal_) journal_->Record(JournalEvent::Fault("reject-command", code));
    if (faults_.rejectCount > 0 && --faults_.rejectCount == 0) faults_.rejectCommand.reset();
    FaultsChanged();
  } else if (faults_.rejectNext > 0) {
    accepted = false;
    --faults_.rejectNext;
    if (journal_) journal_->Record(JournalEvent::Fault("reject-command", code));
    FaultsChanged();
  }

  uint32_t value = parameter;
  int64_t landing = -1;
  if (accepted) {
    switch (code) {
      case kCmdData:
        if (faults_.dropData > 0) {
          // Acknowledged, but neither stored nor counted: the size check tells.
          --faults_.dropData;
          if (journal_) journal_->Record(JournalEvent::Fault("drop-data"));
          FaultsChanged();
          break;
        }
        accepted = StoreData(session, parameter, block + kPayloadOffset, &landing);
        break;
      case kCmdCheckSize:
        // The reply echoes the count received, which equals the parameter
        // only when every byte arrived; the run ends either way.
        value = static_cast<uint32_t>(session.runReceived_);
        session.runActive_ = false;
        session.runReceived_ = 0;
        session.runNext_ = 0;
        break;
      case kCmdFinish: finished_ = true; break;
      case kCmdProgress: break;
      default: accepted = false; break;
    }
  }
  if (journal_) journal_->Record(JournalEvent::Command(code, parameter, landing));

  std::memcpy(session.reply_.data(), block, kBlockSize);
  // A refusal answers with the bare code: the accepted bit is missing.
  StoreLe32(&session.reply_[12], accepted ? (kReplyAccepted | code) : code);
  StoreLe32(&session.reply_[16], value);
  session.replyPending_ = true;
  (void)error;
  return true;
}

bool Calculator::StoreData(Session& session, uint32_t parameter, const uint8_t* payload,
                           int64_t* landing) {
  const uint32_t low16 = parameter >> 16;
  const uint32_t length = parameter & 0xFFFF;
  if (length < 1 || length > kMaxPayload) return false;
  // The parameter carries only the low 16 bits of the image offset; the run
  // counts bytes to know which 64 KiB the block belongs to. A block at 0
  // where the run expects something else starts a new image.
  if (!session.runActive_ || (low16 == 0 && (session.runNext_ & 0xFFFF) != 0)) {
    session.runActive_ = true;
    session.runBase_ = session.anchor_;
    session.runReceived_ = 0;
    session.runNext_ = 0;
  }
  uint64_t full = (session.runNext_ & ~uint64_t{0xFFFF}) | low16;
  if (full > session.runNext_ + 0x8000 && full >= 0x10000)
    full -= 0x10000;
  else if (full + 0x8000 < session.runNext_)
    full += 0x10000;
  const int64_t target = session.runBase_ + static_cast<int64_t>(full);
  if (!storage_->Write(target, payload, length)) return false;
  *landing = target;
  session.runReceived_ += length;
  session.runNext_ = full + length;
  return true;
}

bool Calculator::Read(Session& session, int64_t offset, void* out, std::size_t length,
                      std::string* error) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (gone_) {
    SetError(error, kGoneText);
    return false;
  }
  if (!storage_->Read(offset, out, length)) {
    if (journal_)
      journal_->Record(JournalEvent::Error("read", offset, static_cast<int64_t>(length)));
    SetError(error,
             InBounds(offset, length, storage_->Size()) ? "the disk cannot be read" : kBoundsText);
    return false;
  }
  if (offset == kCommandWindowOffset && length >= kBlockSize && session.replyPending_) {
    std::memcpy(out, session.reply_.data(), kBlockSize);
    session.replyPending_ = false;
  }
  if (journal_) {
    const auto len = static_cast<int64_t>(length);
    if (offset == kCommandWindowOffset && (len == kWindowReadBefore || len == kWindowReadAfter)) {
      journal_->Record(JournalEvent::Io("window-read", offset, len));
    } else {
      journal_->Record(JournalEvent::Io("read", offset, len));
    }
  }
  return true;
}

bool Calculator::Flush(Session& /*session*/, std::string* error) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (gone_) {
    SetError(error, kGoneText);
    return false;
  }
  if (journal_) journal_->Record(JournalEvent::Simple("flush"));
  if (!storage_->Flush()) {
    SetError(error, "the disk cannot be flushed");
    return false;
  }
  return true;
}

void Calculator::Unplug() {
  std::lock_guard<std::mutex> lock(mutex_);
  gone_ = true;
}

void Calculator::Replug() {
  std::lock_guard<std::mutex> lock(mutex_);
  gone_ = false;
}

bool Calculator::Gone() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return gone_;
}

bool Calculator::ConsumeHiddenPoll() {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!emu::ConsumeHiddenPoll(faults_)) return false;
  if (journal_) journal_->Record(JournalEvent::Fault("hidden"));
  FaultsChanged();
  return true;
}

bool Calculator::Hidden() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return faults_.appearAfterPolls > 0;
}

bool Calculator::ConsumeDeniedOpen() {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!emu::ConsumeDeniedOpen(faults_)) return false;
  if (journal_) journal_->Record(JournalEvent::Fault("deny-open"));
  FaultsChanged();
  return true;
}

void Calculator::SetFaults(const Faults& faults) {
  std::lock_guard<std::mutex> lock(mutex_);
  faults_ = faults;
}

void Calculator::SetPlainDisk(bool plain) {
  std::lock_guard<std::mutex> lock(mutex_);
  plainDisk_ = plain;
}

bool Calculator::Peek(int64_t offset, void* out, std::size_t length) const {
  std::lock_guard<std::mutex> lock(mutex_);
  return storage_->Read(offset, out, length);
}

bool Calculator::Poke(int64_t offset, const void* data, std::size_t length) {
  std::lock_guard<std::mutex> lock(mutex_);
  return storage_->Write(offset, data, length);
}

std::vector<uint8_t> Calculator::LastCommandBlock() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return lastCommand_;
}

Faults Calculator::CurrentFaults() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return faults_;
}

bool Calculator::FinishReceived() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return finished_;
}

void Calculator::FaultsChanged() {
  if (hooks_.faultsChanged) hooks_.faultsChanged(faults_);
}

}  // namespace norza::emu
