#pragma once
// The process-wide list of live toolbar forms, in creation order, with the
// one lock that guards it. It does not own the forms.
#include <cstddef>
#include <functional>
#include <vector>

#include "framework/Handles.h"

namespace tarvik {

class TTarvikToolbarForm;

class TToolbarFormList {
 public:
  void Add(TTarvikToolbarForm* form);
  void Remove(TTarvikToolbarForm* form);
  std::vector<TTarvikToolbarForm*> Snapshot() const;
  TTarvikToolbarForm* First() const;
  size_t Count() const;
  // Runs action with the list held under the lock (re-entrant on the same thread).
  void WithLock(const std::function<void(const std::vector<TTarvikToolbarForm*>&)>& action) const;

 private:
  mutable CriticalSection FLock;
  std::vector<TTarvikToolbarForm*> FForms;
};

// Created when the library loads (a static of this unit), usable from every thread.
TToolbarFormList& ToolbarForms();

}  // namespace tarvik
