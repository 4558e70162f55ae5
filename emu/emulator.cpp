#include "emulator.h"

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <limits>
#include <map>
#include <sstream>

#include <nlohmann/json.hpp>

#include "number_parse.h"

namespace norza::emu {
namespace fs = std::filesystem;

const char* CommandName(uint32_t code) {
  switch (code) {
    case kCmdFinish: return "CMD_FINISH";
    case kCmdData: return "CMD_DATA";
    case kCmdCheckSize: return "CMD_CHECK_SIZE";
    case kCmdProgress: return "CMD_PROGRESS";
    default: return "CMD_UNKNOWN";
  }
}

std::array<uint8_t, kBlockSize> MakeCommandBlock(uint32_t code, uint32_t parameter,
                                                 const uint8_t* payload,
                                                 std::size_t payloadLength) {
  std::array<uint8_t, kBlockSize> block{};
  StoreLe32(&block[0], kMagic);
  StoreLe32(&block[4], kSignature);
  StoreLe32(&block[8], static_cast<uint32_t>(kBlockSize));
  StoreLe32(&block[12], code);
  StoreLe32(&block[16], parameter);
  if (payload != nullptr) {
    std::memcpy(&block[kPayloadOffset], payload, std::min<std::size_t>(payloadLength, kMaxPayload));
  }
  return block;
}

bool IsCommandBlock(const uint8_t* bytes, std::size_t length) {
  return length == kBlockSize && LoadLe32(bytes) == kMagic && LoadLe32(bytes + 4) == kSignature;
}

// ---------------------------------------------------------------------------
// Faults

bool Faults::Empty() const { return FormatFaults(*this).empty(); }

bool Faults::operator==(const Faults& other) const {
  return failWrites == other.failWrites && rejectCommand == other.rejectCommand &&
         rejectCount == other.rejectCount && vanishAfterWrites == other.vanishAfterWrites &&
         appearAfterPolls == other.appearAfterPolls && returnAfterPolls == other.returnAfterPolls &&
         denyOpens == other.denyOpens && rejectNext == other.rejectNext &&
         dropData == other.dropData && returnBlank == other.returnBlank;
}

namespace {

std::string Trim(const std::string& text) {
  const auto first = text.find_first_not_of(" \t\r\n");
  if (first == std::string::npos) return {};
  const auto last = text.find_last_not_of(" \t\r\n");
  return text.substr(first, last - first + 1);
}

}  // namespace

const std::array<FaultSetting, 10> kFaultSettings = {{
    {"fail-writes", [](Faults& f, uint32_t v) { f.failWrites = v; }},
    {"reject-command", [](Faults& f, uint32_t v) { f.rejectCommand = v; }},
    {"reject-count", [](Faults& f, uint32_t v) { f.rejectCount = v; }},
    {"vanish-after-writes", [](Faults& f, uint32_t v) { f.vanishAfterWrites = v; }},
    {"appear-after-polls", [](Faults& f, uint32_t v) { f.appearAfterPolls = v; }},
    {"return-after-polls", [](Faults& f, uint32_t v) { f.returnAfterPolls = v; }},
    {"deny-opens", [](Faults& f, uint32_t v) { f.denyOpens = v; }},
    {"reject-next", [](Faults& f, uint32_t v) { f.rejectNext = v; }},
    {"drop-data", [](Faults& f, uint32_t v) { f.dropData = v; }},
    {"return-blank", [](Faults& f, uint32_t v) { f.returnBlank = v; }},
}};

bool SetFault(const std::string& key, uint32_t value, Faults* faults) {
  for (const FaultSetting& setting : kFaultSettings) {
    if (key == setting.key) {
      setting.set(*faults, value);
      return true;
    }
  }
  return false;
}

bool ConsumeHiddenPoll(Faults& faults) {
  if (faults.appearAfterPolls == 0) return false;
  --faults.appearAfterPolls;
  return true;
}

bool ConsumeReturnPoll(Faults& faults) {
  if (!faults.returnAfterPolls) return false;
  if (*faults.returnAfterPolls > 1) {
    --*faults.returnAfterPolls;
    return false;
  }
  faults.returnAfterPolls.reset();
  return true;
}

bool ConsumeDeniedOpen(Faults& faults) {
  if (faults.denyOpens == 0) return false;
  --faults.denyOpens;
  return true;
}

bool ParseFaults(const std::string& text, Faults* faults, std::string* error) {
  Faults result;
  std::istringstream in(text);
  std::string line;
  auto fail = [&](const std::string& why) {
    if (error != nullptr) *error = why;
    return false;
  };
  while (std::getline(in, line)) {
    const auto hash = line.find('#');
    if (hash != std::string::npos) line.resize(hash);
    line = Trim(line);
    if (line.empty()) continue;
    const auto eq = line.find('=');
    if (eq == std::string::npos) return fail("not key=value: " + line);
    const std::string key = Trim(line.substr(0, eq));
    uint64_t value = 0;
    if (!ParseUnsigned(Trim(line.substr(eq + 1)), std::numeric_limits<uint32_t>::max(), &value)) {
      return fail("bad number in: " + line);
    }
    if (!SetFault(key, static_cast<uint32_t>(value), &result)) return fail("unknown fault: " + key);
  }
  *faults = result;
  return true;
}

std::string FormatFaults(const Faults& faults) {
  std::ostringstream out;
  if (faults.failWrites > 0) out << "fail-writes=" << faults.failWrites << '\n';
  if (faults.rejectCommand) {
    out << "reject-command=0x" << std::hex << std::uppercase << *faults.rejectCommand << std::dec
        << '\n';
    if (faults.rejectCount > 0) out << "reject-count=" << faults.rejectCount << '\n';
  }
  if (faults.vanishAfterWrites) out << "vanish-after-writes=" << *faults.vanishAfterWrites << '\n';
  if (faults.appearAfterPolls > 0) out << "appear-after-polls=" << faults.appearAfterPolls << '\n';
  if (faults.returnAfterPolls) out << "return-after-polls=" << *faults.returnAfterPolls << '\n';
  if (faults.denyOpens > 0) out << "deny-opens=" << faults.denyOpens << '\n';
  if (faults.rejectNext > 0) out << "reject-next=" << faults.rejectNext << '\n';
  if (faults.dropData > 0) out << "drop-data=" << faults.dropData << '\n';
  if (faults.returnBlank > 0) out << "return-blank=" << faults.returnBlank << '\n';
  return out.str();
}

// ---------------------------------------------------------------------------
// Journal

JournalEvent JournalEvent::Command(uint32_t code, uint32_t parameter, int64_t landing) {
  JournalEvent e;
  e.event = "command";
  e.code = code;
  e.name = CommandName(code);
  e.parameter = parameter;
  e.offset = landing;
  return e;
}

JournalEvent JournalEvent::Io(const char* event, int64_t offset, int64_t length) {
  JournalEvent e;
  e.event = event;
  e.offset = offset;
  e.length = length;
  return e;
}

JournalEvent JournalEvent::Simple(const char* event) {
  JournalEvent e;
  e.event = event;
  return e;
}

JournalEvent JournalEvent::Fault(const std::string& kind, uint32_t code) {
  JournalEvent e;
  e.event = "fault";
  e.name = kind;
  e.code = code;
  return e;
}

JournalEvent JournalEvent::Error(const char* operation, int64_t offset, int64_t length) {
  JournalEvent e;
  e.event = "error";
  e.name = operation;
  e.offset = offset;
  e.length = length;
  return e;
}

std::string ToJsonLine(const JournalEvent& e) {
  // ordered_json keeps the keys in the order written: readers of the journal
  // see "event" first, as they always did.
  nlohmann::ordered_json line;
  line["event"] = e.event;
  if (e.event == "command") {
    line["code"] = e.code;
    line["name"] = e.name;
    line["parameter"] = e.parameter;
    if (e.offset >= 0) line["offset"] = e.offset;
  } else if (e.event == "fault") {
    line["kind"] = e.name;
    if (e.code != 0) line["code"] = e.code;
  } else {
    if (e.event == "error") line["op"] = e.name;
    if (e.offset >= 0 && e.event != "window-read") line["offset"] = e.offset;
    if (e.length >= 0) line["length"] = e.length;
  }
  return line.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace);
}

bool ParseJsonLine(const std::string& line, JournalEvent* event) {
  const auto parsed = nlohmann::json::parse(line, nullptr, /*allow_exceptions=*/false);
  // A flat object of strings, integers and booleans, nothing else.
  if (!parsed.is_object()) return false;
  std::map<std::string, std::string> strings;
  std::map<std::string, int64_t> numbers;
  for (const auto& [key, value] : parsed.items()) {
    if (value.is_string()) {
      strings[key] = value.get<std::string>();
    } else if (value.is_boolean()) {
      numbers[key] = value.get<bool>() ? 1 : 0;
    } else if (value.is_number_unsigned()) {
      const auto n = value.get<uint64_t>();
      if (n > static_cast<uint64_t>(std::numeric_limits<int64_t>::max())) return false;
      numbers[key] = static_cast<int64_t>(n);
    } else if (value.is_number_integer()) {
      numbers[key] = value.get<int64_t>();
    } else {
      return false;
    }
  }
  auto it = strings.find("event");
  if (it == strings.end()) return false;
  JournalEvent e;
  e.event = it->second;
  if (auto s = strings.find("name"); s != strings.end()) e.name = s->second;
  if (auto s = strings.find("kind"); s != strings.end()) e.name = s->second;
  if (auto s = strings.find("op"); s != strings.end()) e.name = s->second;
  if (auto n = numbers.find("code"); n != numbers.end()) e.code = static_cast<uint32_t>(n->second);
  if (auto n = numbers.find("parameter"); n != numbers.end()) {
    e.parameter = static_cast<uint32_t>(n->second);
  }
  if (auto n = numbers.find("offset"); n != numbers.end()) e.offset = n->second;
  if (auto n = numbers.find("length"); n != numbers.end()) e.length = n->second;
  if (e.event == "window-read") e.offset = kCommandWindowOffset;
  *event = e;
  return true;
}

void MemoryJournal::Record(const JournalEvent& event) {
  std::lock_guard<std::mutex> lock(mutex_);
  events_.push_back(event);
}

std::vector<JournalEvent> MemoryJournal::Events() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return events_;
}

void MemoryJournal::Clear() {
  std::lock_guard<std::mutex> lock(mutex_);
  events_.clear();
}

FileJournal::FileJournal(std::string path) : path_(std::move(path)) {}

void FileJournal::Record(const JournalEvent& event) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!out_.is_open()) {
    out_.open(fs::u8path(path_), std::ios::binary | std::ios::app);
    if (!out_.is_open()) return;  // a journal that cannot be written is not the host's problem
  }
  // One write per line so that lines of several processes do not interleave.
  const std::string line = ToJsonLine(event) + "\n";
  out_.write(line.data(), static_cast<std::streamsize>(line.size()));
  out_.flush();
}

// ---------------------------------------------------------------------------
// Storage

namespace {

bool InBounds(int64_t offset, std::size_t length, int64_t size) {
  return offset >= 0 && offset <= size &&
         static_cast<uint64_t>(length) <= static_cast<uint64_t>(size - offset);
}

}  // namespace

MemoryStorage::MemoryStorage(int64_t size)
    : bytes_(static_cast<std::size_t>(std::max<int64_t>(size, 0))) {}

int64_t MemoryStorage::Size() const { return static_cast<int64_t>(bytes_.size()); }

bool MemoryStorage::Read(int64_t offset, void* out, std::size_t length) {
  if (!InBounds(offset, length, Size())) return false;
  if (length > 0) std::memcpy(out, bytes_.data() + offset, length);
  return true;
}

bool MemoryStorage::Write(int64_t offset, const void* data, std::size_t length) {
  if (!InBounds(offset, length, Size())) return false;
  if (length > 0) std::memcpy(bytes_.data() + offset, data, length);
  return true;
}

bool MemoryStorage::Flush() { return true; }

std::unique_ptr<FileStorage> FileStorage::Open(const std::string& utf8Path) {
  std::error_code ec;
  const auto size = fs::file_size(fs::u8path(utf8Path), ec);
  if (ec) return nullptr;
  std::unique_ptr<FileStorage> storage(new FileStorage(utf8Path, static_cast<int64_t>(size)));
  if (!storage->file_.is_open()) return nullptr;
  return storage;
}

FileStorage::FileStorage(std::string path, int64_t size)
    : path_(std::move(path)),
      size_(size),
      file_(fs::u8path(path_), std::ios::binary | std::ios::in | std::ios::out) {}

int64_t FileStorage::Size() const { return size_; }

bool FileStorage::Present() const {
  std::error_code ec;
  return fs::exists(fs::u8path(path_), ec);
}

bool FileStorage::Read(int64_t offset, void* out, std::size_t length) {
  if (!InBounds(offset, length, size_) || !Present()) return false;
  file_.clear();
  file_.seekg(offset);
  file_.read(static_cast<char*>(out), static_cast<std::streamsize>(length));
  if (static_cast<std::size_t>(file_.gcount()) != length) {
    // A sparse tail that a writer of another process cut short reads as zeros.
    std::memset(static_cast<char*>(out) + file_.gcount(), 0,
                length - static_cast<std::size_t>(file_.gcount()));
    file_.clear();
  }
  return !file_.bad();
}

bool FileStorage::Write(int64_t offset, const void* data, std::size_t length) {
  if (!InBounds(offset, length, size_) || !Present()) return false;
  file_.clear();
  file_.seekp(offset);
  file_.write(static_cast<const char*>(data), static_cast<std::streamsize>(length));
  return static_cast<bool>(file_);
}

bool FileStorage::Flush() {
  if (!Present()) return false;
  file_.clear();
  file_.flush();
  return static_cast<bool>(file_);
}

// ---------------------------------------------------------------------------
// Calculator

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
