#include "messagecopies.h"

#include <cwchar>
#include <memory>
#include <mutex>
#include <unordered_map>

namespace message_copies {
namespace {

struct Pool {
  std::mutex lock;
  std::unordered_map<const wchar_t*, std::unique_ptr<wchar_t[]>> copies;
};

Pool& pool() {
  static Pool instance;
  return instance;
}

}  // namespace

wchar_t* make(const wchar_t* text) {
  if (text == nullptr) text = L"";
  const std::size_t length = std::wcslen(text) + 1;
  std::unique_ptr<wchar_t[]> copy(new wchar_t[length]);
  std::wmemcpy(copy.get(), text, length);
  wchar_t* raw = copy.get();
  Pool& p = pool();
  std::lock_guard<std::mutex> guard(p.lock);
  p.copies.emplace(raw, std::move(copy));
  return raw;
}

bool release(const wchar_t* text) {
  Pool& p = pool();
  std::lock_guard<std::mutex> guard(p.lock);
  return p.copies.erase(text) != 0;
}

int inFlight() {
  Pool& p = pool();
  std::lock_guard<std::mutex> guard(p.lock);
  return static_cast<int>(p.copies.size());
}

}  // namespace message_copies
