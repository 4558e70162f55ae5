#include "ledger.h"

#include <algorithm>

namespace norza::link {

void UpdateLedger::Begin(std::vector<int64_t> imageOffsets) {
  std::lock_guard<std::mutex> lock(mutex_);
  active_ = true;
  images_ = std::move(imageOffsets);
  whole_.clear();
  lastAttached_.clear();
  everWhole_.clear();
}

void UpdateLedger::Clear() {
  std::lock_guard<std::mutex> lock(mutex_);
  active_ = false;
  images_.clear();
  whole_.clear();
  lastAttached_.clear();
  everWhole_.clear();
}

bool UpdateLedger::Active() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return active_;
}

void UpdateLedger::Record(const std::wstring& calculator, int64_t offset, int32_t code) {
  std::lock_guard<std::mutex> lock(mutex_);
  std::set<int64_t>& whole = whole_[calculator];
  if (code == 0) {
    whole.insert(offset);
    everWhole_.insert(offset);
  } else {
    whole.erase(offset);
  }
}

void UpdateLedger::Join(const std::wstring& calculator) {
  std::lock_guard<std::mutex> lock(mutex_);
  whole_[calculator];
}

void UpdateLedger::NoteAttached(const std::vector<std::wstring>& calculators) {
  std::lock_guard<std::mutex> lock(mutex_);
  lastAttached_ = std::set<std::wstring>(calculators.begin(), calculators.end());
  for (auto& [calculator, whole] : whole_) {
    if (lastAttached_.count(calculator) == 0) whole.clear();
  }
}

void UpdateLedger::Forget(const std::wstring& calculator) {
  std::lock_guard<std::mutex> lock(mutex_);
  auto found = whole_.find(calculator);
  if (found != whole_.end()) found->second.clear();
}

bool UpdateLedger::TookPart(const std::wstring& calculator) const {
  std::lock_guard<std::mutex> lock(mutex_);
  return whole_.count(calculator) != 0;
}

bool UpdateLedger::CompleteLocked(const std::wstring& calculator) const {
  const auto found = whole_.find(calculator);
  if (found == whole_.end()) return false;
  return std::all_of(images_.begin(), images_.end(),
                     [&](int64_t offset) { return found->second.count(offset) != 0; });
}

bool UpdateLedger::Complete(const std::wstring& calculator) const {
  std::lock_guard<std::mutex> lock(mutex_);
  return CompleteLocked(calculator);
}

bool UpdateLedger::AnyoneTookPart() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return !whole_.empty();
}

std::vector<std::wstring> UpdateLedger::Missing(const std::vector<std::wstring>& attached) const {
  std::lock_guard<std::mutex> lock(mutex_);
  std::vector<std::wstring> missing;
  for (const auto& [calculator, whole] : whole_) {
    if (std::find(attached.begin(), attached.end(), calculator) == attached.end()) {
      missing.push_back(calculator);
    }
  }
  return missing;
}

int64_t UpdateLedger::NextImageNeeded() const {
  std::lock_guard<std::mutex> lock(mutex_);
  if (whole_.empty()) return images_.empty() ? -1 : images_.front();
  for (int64_t offset : images_) {
    for (const auto& [calculator, whole] : whole_) {
      if (whole.count(offset) == 0) return offset;
    }
  }
  return -1;
}

int32_t UpdateLedger::NotCompletedCount() const {
  std::lock_guard<std::mutex> lock(mutex_);
  int32_t count = 0;
  for (const auto& [calculator, whole] : whole_) {
    if (!CompleteLocked(calculator) || lastAttached_.count(calculator) == 0) ++count;
  }
  return count;
}

int32_t UpdateLedger::ImagesEverWhole() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return static_cast<int32_t>(everWhole_.size());
}

UpdateLedger& Ledger() {
  static UpdateLedger ledger;
  return ledger;
}

}  // namespace norza::link
