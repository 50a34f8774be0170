#include "ui/Hotkeys.h"

#include <algorithm>
#include <map>
#include <mutex>

#include "core/ClassTarvikRuntime.h"
#include "framework/Handles.h"
#include "framework/Trace.h"
#include "ui/FormTarvikToolbar.h"
#include "ui/ToolbarForms.h"

namespace tarvik {

namespace {

// Which keys the sited bands hold, and which keys each form window has
// registered. Its lock is never held together with the forms' lock, nor
// across a call into another thread's window.
class THotkeyTable {
 public:
  struct TWanted {
    WORD Modifiers = 0;
    WORD VirtualKey = 0;
    int Bands = 0;
  };

  void AddHolder(const THotkeyEntry& entry) {
    std::lock_guard lock(FLock);
    TWanted& wanted = FWanted[entry.Atom];
    wanted.Modifiers = entry.Modifiers;
    wanted.VirtualKey = entry.VirtualKey;
    ++wanted.Bands;
  }
  void RemoveHolder(ATOM atom) {
    std::lock_guard lock(FLock);
    const auto found = FWanted.find(atom);
    if (found != FWanted.end() && --found->second.Bands <= 0) FWanted.erase(found);
  }
  int Holders(ATOM atom) const {
    std::lock_guard lock(FLock);
    const auto found = FWanted.find(atom);
    return found == FWanted.end() ? 0 : found->second.Bands;
  }
  std::map<ATOM, TWanted> Wanted() const {
    std::lock_guard lock(FLock);
    return FWanted;
  }
  std::vector<ATOM> Registered(HWND window) const {
    std::lock_guard lock(FLock);
    const auto found = FRegistered.find(window);
    return found == FRegistered.end() ? std::vector<ATOM>() : found->second;
  }
  // The window's registrations, forgotten; allocates nothing.
  std::vector<ATOM> TakeRegistered(HWND window) noexcept {
    std::lock_guard lock(FLock);
    auto node = FRegistered.extract(window);
    return node.empty() ? std::vector<ATOM>() : std::move(node.mapped());
  }
  void SetRegistered(HWND window, std::vector<ATOM> atoms) {
    std::lock_guard lock(FLock);
    if (atoms.empty())
      FRegistered.erase(window);
    else
      FRegistered[window] = std::move(atoms);
  }
  // Windows that hold a registration now.
  std::vector<HWND> Holders() const {
    std::lock_guard lock(FLock);
    std::vector<HWND> windows;
    for (const auto& [window, atoms] : FRegistered) windows.push_back(window);
    return windows;
  }

 private:
  mutable CriticalSection FLock;
  std::map<ATOM, TWanted> FWanted;
  std::map<HWND, std::vector<ATOM>> FRegistered;
};

THotkeyTable& HotkeyTable() {
  static THotkeyTable table;
  return table;
}

// The first form and its window, read under the forms' lock.
struct TFirstForm {
  TTarvikToolbarForm* Form = nullptr;
  HWND Window = nullptr;
};

TFirstForm FirstForm() {
  TFirstForm first;
  ToolbarForms().WithLock([&](const std::vector<TTarvikToolbarForm*>& forms) {
    if (forms.empty()) return;
    first.Form = forms.front();
    first.Window = forms.front()->Handle();
  });
  return first;
}

bool OwnedByThisThread(HWND window) noexcept {
  return window && ::GetWindowThreadProcessId(window, nullptr) == ::GetCurrentThreadId();
}

// Has window's registrations brought in line by the thread that owns it:
// at once when that is this thread (a form of this thread cannot go
// meanwhile), otherwise by a posted message, never waiting for it.
void Reconcile(TTarvikToolbarForm* form, HWND window) noexcept {
  if (!window) return;
  if (form && OwnedByThisThread(window))
    ApplyHotkeyRegistration(*form);
  else
    ::PostMessageW(window, WM_TARVIK_HOTKEYS, 0, 0);
}

// The first form and every window still holding a registration.
void ReconcileAll() noexcept {
  const TFirstForm first = FirstForm();
  Reconcile(first.Form, first.Window);
  std::vector<HWND> holders;
  // Out of memory: a window that keeps the key a while is no reason to end the browser.
  NoThrow({"CoToolbar.ReconcileAll", "EXCEPTION!"}, [&] { holders = HotkeyTable().Holders(); });
  for (HWND holder : holders)
    if (holder != first.Window) Reconcile(nullptr, holder);
}

void UnregisterAllOn(HWND window) noexcept {
  for (ATOM atom : HotkeyTable().TakeRegistered(window)) ::UnregisterHotKey(window, atom);
}

void ApplyRegistration(TTarvikToolbarForm& form, HWND window) {
  std::map<ATOM, THotkeyTable::TWanted> wanted;
  if (FirstForm().Form == &form) wanted = HotkeyTable().Wanted();
  std::vector<ATOM> registered = HotkeyTable().Registered(window);
  std::vector<ATOM> kept;
  // Nothing allocates between a registration and its record but the record itself.
  kept.reserve(registered.size() + wanted.size());
  for (ATOM atom : registered) {
    if (wanted.count(atom))
      kept.push_back(atom);
    else
      ::UnregisterHotKey(window, atom);
  }
  for (const auto& [atom, key] : wanted) {
    if (std::find(kept.begin(), kept.end(), atom) != kept.end()) continue;
    // A refusal (another program holds Ctrl+W) is not examined.
    if (::RegisterHotKey(window, atom, key.Modifiers, key.VirtualKey)) kept.push_back(atom);
  }
  try {
    HotkeyTable().SetRegistered(window, kept);
  } catch (...) {
    // A key the table does not know of would never be given up.
    for (ATOM atom : kept) ::UnregisterHotKey(window, atom);
    HotkeyTable().TakeRegistered(window);
    throw;
  }
}

}  // namespace

void InitHotkeys(THotkeys& hotkeys) {
  hotkeys.clear();
  hotkeys.push_back(THotkeyEntry{"TarvikAction.TVK", 0, MOD_CONTROL, 0x57});
}

void RegisterTarvikHotkeys(THotkeys& hotkeys) {
  Log("CoToolbar.RegisterTarvikHotkeys", "");
  if (ToolbarForms().Count() == 0) return;
  for (THotkeyEntry& entry : hotkeys) {
    // Every band takes a reference of its own, also to an atom that exists
    // already, so that each later deletion is matched. A band sited again
    // keeps the one it holds.
    if (entry.Atom != 0) continue;
    entry.Atom = ::GlobalAddAtomA(entry.AtomName.c_str());
    if (entry.Atom != 0) HotkeyTable().AddHolder(entry);
  }
  ReconcileAll();
  Log("CoToolbar.RegisterTarvikHotkeys", "Finished.");
}

void UnRegisterTarvikHotkeys(THotkeys& hotkeys) noexcept {
  Log("CoToolbar.UnRegisterTarvikHotkeys", "Begin.");
  NoThrow({"CoToolbar.UnRegisterTarvikHotkeys", "EXCEPTION!"}, [&] {
    for (THotkeyEntry& entry : hotkeys) {
      if (entry.Atom == 0) continue;
      HotkeyTable().RemoveHolder(entry.Atom);
      ::GlobalDeleteAtom(entry.Atom);
      entry.Atom = 0;
    }
    // The key stays while another band holds it.
    ReconcileAll();
    Log("CoToolbar.UnRegisterTarvikHotkeys", "Finished.");
  });
}

void DestroyToolbarForm(std::unique_ptr<TTarvikToolbarForm>& form) noexcept {
  if (!form) return;
  const HWND window = form->Handle();
  const bool wasFirst = FirstForm().Form == form.get();
  UnregisterAllOn(window);
  form.reset();
  // The key follows the list: the form now first takes it over.
  if (wasFirst) ReconcileAll();
}

void ToolbarWindowDestroyed(TTarvikToolbarForm& form) noexcept {
  const bool wasFirst = FirstForm().Form == &form;
  UnregisterAllOn(form.Handle());
  // A form without a window can take no key: it leaves the list at once.
  ToolbarForms().Remove(&form);
  if (wasFirst) ReconcileAll();
}

void ApplyHotkeyRegistration(TTarvikToolbarForm& form) noexcept {
  const HWND window = form.Handle();
  if (!window) return;
  // Out of memory: what the window holds stays as it is.
  NoThrow({"CoToolbar.ApplyHotkeyRegistration", "EXCEPTION!"}, [&] { ApplyRegistration(form, window); });
}

std::vector<ATOM> HotkeysRegisteredOn(HWND window) { return HotkeyTable().Registered(window); }

int HotkeyHolders(ATOM atom) { return HotkeyTable().Holders(atom); }

// The form's handler of WM_HOTKEY: the form whose browser window is in front
// clicks its capture button; any other hands the message to the next form.
void TTarvikToolbarForm::WMHotKey(WPARAM wParam, LPARAM lParam) {
  const HWND window = Handle();
  if (window && ::GetAncestor(window, GA_ROOT) == ::GetForegroundWindow()) {
    ClickCapture();
    return;
  }
  HWND next = nullptr;
  ToolbarForms().WithLock([&](const std::vector<TTarvikToolbarForm*>& forms) {
    const auto self = std::find(forms.begin(), forms.end(), this);
    if (self != forms.end() && self + 1 != forms.end()) next = (*(self + 1))->Handle();
  });
  // Posted outside the lock: the next form runs its part on its own thread.
  if (next) ::PostMessageW(next, WM_HOTKEY, wParam, lParam);
}

}  // namespace tarvik
