#include "ui/ToolbarForms.h"

#include <algorithm>
#include <mutex>

namespace tarvik {

void TToolbarFormList::Add(TTarvikToolbarForm* form) {
  std::lock_guard lock(FLock);
  FForms.push_back(form);
}

void TToolbarFormList::Remove(TTarvikToolbarForm* form) {
  std::lock_guard lock(FLock);
  std::erase(FForms, form);
}

std::vector<TTarvikToolbarForm*> TToolbarFormList::Snapshot() const {
  std::lock_guard lock(FLock);
  return FForms;
}

TTarvikToolbarForm* TToolbarFormList::First() const {
  std::lock_guard lock(FLock);
  return FForms.empty() ? nullptr : FForms.front();
}

size_t TToolbarFormList::Count() const {
  std::lock_guard lock(FLock);
  return FForms.size();
}

void TToolbarFormList::WithLock(const std::function<void(const std::vector<TTarvikToolbarForm*>&)>& action) const {
  std::lock_guard lock(FLock);
  action(FForms);
}

TToolbarFormList& ToolbarForms() {
  static TToolbarFormList forms;
  return forms;
}

namespace {
// Brings the list into being while the library loads, before any thread can race for it.
[[maybe_unused]] TToolbarFormList& GLoadTimeForms = ToolbarForms();
}  // namespace

}  // namespace tarvik
