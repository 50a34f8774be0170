#include "core/CapturedBytes.h"

#include <algorithm>
#include <chrono>
#include <cstring>

#include "core/ChaCha20.h"
#include "core/Trace.h"

namespace tarvik {

namespace {

constexpr char TraceSource[] = "TSpillArea";

std::mutex& ProcessAreaLock() {
  static std::mutex lock;
  return lock;
}

std::shared_ptr<TSpillArea>& ProcessArea() {
  static std::shared_ptr<TSpillArea> area;
  return area;
}

void SpillTrace(const std::string& message) noexcept {
  if (!TraceActive()) return;
  try {
    TraceLog(TraceSource, message);
  } catch (...) {
  }
}

uint64_t SteadyClockMs() noexcept {
  return static_cast<uint64_t>(
      std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
          .count());
}

}  // namespace

TSpillArea::TSpillArea(TOptions options) : FOptions(std::move(options)) {}
TSpillArea::TSpillArea() : TSpillArea(TOptions{}) {}
TSpillArea::~TSpillArea() = default;

bool TSpillArea::Charge(uint64_t bytes, bool fromReserve) noexcept {
  const uint64_t limit = fromReserve ? FOptions.Budget : FOptions.Budget - StageReserve();
  uint64_t now = FCharged.load();
  do {
    if (bytes > limit || now > limit - bytes) return false;
  } while (!FCharged.compare_exchange_weak(now, now + bytes));
  return true;
}

void TSpillArea::Release(uint64_t bytes) noexcept { FCharged.fetch_sub(bytes); }

bool TSpillArea::Open() noexcept {
  if (FOpened.load(std::memory_order_acquire)) return true;
  std::lock_guard<std::mutex> guard(FOpenLock);
  if (FOpened.load()) return true;
  const uint64_t now = (FOptions.ClockMs ? FOptions.ClockMs : SteadyClockMs)();
  if (FFailing && now < FRetryAt) return false;
  // An empty reason after a failure: there was no memory to say more.
  std::string why;
  if (TryOpen(why)) {
    SpillTrace((FFailing ? "Temporary file made again: " : "Temporary file made: ") + FFile->Path());
    FFailing = false;
    FOpened.store(true, std::memory_order_release);
    return true;
  }
  // One line when spilling stops working, none for each retry that fails too.
  FRetryWait = FFailing ? std::min(FRetryWait * 2, LongestRetryMs) : FirstRetryMs;
  FRetryAt = now + FRetryWait;
  if (!FFailing) SpillTrace(why.empty() ? "Temporary file not made: out of memory" : why);
  FFailing = true;
  return false;
}

bool TSpillArea::TryOpen(std::string& why) noexcept {
  uint8_t key[TChaCha20::KeySize];
  uint8_t nonce[TChaCha20::NonceSize];
  struct TWipe {
    uint8_t* Key;
    ~TWipe() { SecureWipe(Key, TChaCha20::KeySize); }
  } wipe{key};
  try {
    if (!SpillRandomBytes(key, sizeof(key)) || !SpillRandomBytes(nonce, sizeof(nonce))) {
      why = "Temporary file not made: no random source for its key";
      return false;
    }
    FCipher = std::make_unique<TChaCha20>(key, nonce);
    const std::string folder = FOptions.Folder.empty() ? DefaultSpillFolder() : FOptions.Folder;
    RemoveStaleSpillFiles(folder);
    std::string error;
    FFile = (FOptions.OpenFile ? FOptions.OpenFile : OpenSpillFile)(folder, error);
    if (FFile) return true;
    why = "Temporary file not made in " + folder + ": " + error;
  } catch (...) {
    FFile.reset();
  }
  FCipher.reset();
  return false;
}

TSpillFile* TSpillArea::File() const noexcept {
  return FOpened.load(std::memory_order_acquire) ? FFile.get() : nullptr;
}

bool TSpillArea::Write(char* data, size_t size, TSpillExtent& where) noexcept {
  if (!Open()) return false;
  const uint64_t offset = FEnd.fetch_add(size);
  // One key and nonce never encrypt two things at one place: the file only grows.
  if (offset > TChaCha20::StreamLimit - size) {
    SpillTrace("Temporary file not written: it is full");
    return false;
  }
  FCipher->Apply(offset, data, size);
  if (!FFile->WriteAt(offset, data, size)) {
    SpillTrace(Format("Temporary file not written: %llu bytes at %llu", static_cast<unsigned long long>(size),
                      static_cast<unsigned long long>(offset)));
    return false;
  }
  where = {offset, size};
  return true;
}

bool TSpillArea::Read(uint64_t offset, char* data, size_t size) const noexcept {
  if (!FOpened.load(std::memory_order_acquire)) return false;
  if (!FFile->ReadAt(offset, data, size)) return false;
  FCipher->Apply(offset, data, size);
  return true;
}

std::shared_ptr<TSpillArea> ProcessSpillArea() {
  std::lock_guard<std::mutex> guard(ProcessAreaLock());
  std::shared_ptr<TSpillArea>& area = ProcessArea();
  if (!area) area = std::make_shared<TSpillArea>();
  return area;
}

std::shared_ptr<TSpillArea> SetProcessSpillArea(std::shared_ptr<TSpillArea> area) {
  std::lock_guard<std::mutex> guard(ProcessAreaLock());
  ProcessArea().swap(area);
  return area;
}

// ---------------------------------------------------------------- charge

TBudgetCharge& TBudgetCharge::operator=(TBudgetCharge&& other) noexcept {
  if (this != &other) {
    Clear();
    FArea = std::move(other.FArea);
    FBytes = other.FBytes;
    other.FBytes = 0;
  }
  return *this;
}

bool TBudgetCharge::Add(uint64_t bytes, bool fromReserve) noexcept {
  if (!FArea || !FArea->Charge(bytes, fromReserve)) return false;
  FBytes += bytes;
  return true;
}

void TBudgetCharge::Trim(uint64_t bytes) noexcept {
  if (bytes >= FBytes) return;
  FArea->Release(FBytes - bytes);
  FBytes = bytes;
}

void TBudgetCharge::Clear() noexcept {
  if (FArea && FBytes) FArea->Release(FBytes);
  FBytes = 0;
}

// ---------------------------------------------------------------- bytes

TCapturedBytes::TCapturedBytes() : FMemory(std::make_shared<const std::string>()) {}

TCapturedBytes::TCapturedBytes(std::string text)
    : TCapturedBytes(std::make_shared<const std::string>(std::move(text))) {}

TCapturedBytes::TCapturedBytes(std::shared_ptr<const std::string> memory)
    : FMemory(std::move(memory)), FSize(FMemory ? FMemory->size() : 0) {
  if (!FMemory) FMemory = std::make_shared<const std::string>();
}

TCapturedBytes::TCapturedBytes(std::shared_ptr<TSpillArea> area, std::vector<TSpillExtent> extents)
    : FArea(std::move(area)), FExtents(std::move(extents)) {
  FStarts.reserve(FExtents.size());
  for (const TSpillExtent& e : FExtents) {
    FStarts.push_back(FSize);
    FSize += e.Size;
  }
  if (FSize == 0) FMemory = std::make_shared<const std::string>();
}

bool TCapturedBytes::ReadAt(uint64_t offset, char* out, size_t size) const noexcept {
  if (offset > FSize || size > FSize - offset) return false;
  if (FMemory) {
    std::memcpy(out, FMemory->data() + offset, size);
    return true;
  }
  // The extent that holds offset, then on in order: a read may cross into the next.
  size_t k = static_cast<size_t>(std::upper_bound(FStarts.begin(), FStarts.end(), offset) - FStarts.begin()) - 1;
  for (; size > 0 && k < FExtents.size(); ++k) {
    const uint64_t inside = offset - FStarts[k];
    const size_t n = static_cast<size_t>(std::min<uint64_t>(size, FExtents[k].Size - inside));
    if (!FArea->Read(FExtents[k].Offset + inside, out, n)) return false;
    out += n;
    offset += n;
    size -= n;
  }
  return size == 0;
}

std::string TCapturedBytes::Text() const {
  if (FMemory) return *FMemory;
  std::string text(static_cast<size_t>(FSize), '\0');
  if (!ReadAt(0, text.data(), text.size())) text.clear();
  return text;
}

bool operator==(const TCapturedBytes& bytes, std::string_view text) {
  if (bytes.size() != text.size()) return false;
  if (const std::string* memory = bytes.Memory()) return *memory == text;
  return bytes.Text() == text;
}

}  // namespace tarvik
