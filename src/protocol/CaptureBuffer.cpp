#include "protocol/CaptureBuffer.h"

#include <algorithm>
#include <cstring>
#include <new>

#include "framework/Trace.h"

namespace tarvik {

namespace {

// Bytes that share the part's memory and keep its count against the budget.
template <class Part>
TCaptureBuffer::Bytes Share(const std::shared_ptr<Part>& part) {
  return std::make_shared<const TCapturedBytes>(std::shared_ptr<const std::string>(part, &part->Data));
}

}  // namespace

TCaptureBuffer::TCaptureBuffer(std::shared_ptr<TSpillArea> area) : FArea(area ? std::move(area) : ProcessSpillArea()) {}

// A new part with room for at least firstBytes, counted against the budget;
// null when the budget has no room for it.
std::shared_ptr<TCaptureBuffer::TPart> TCaptureBuffer::NewPart(size_t firstBytes) {
  auto part = std::make_shared<TPart>();
  part->Charge = TBudgetCharge(FArea);
  if (FExpected > FSize + firstBytes && FExpected - FSize <= SIZE_MAX && part->Charge.Add(FExpected - FSize)) {
    // An announced body gets its whole rest in one allocation, so it can be
    // published without a copy. A size the memory cannot hold is ignored.
    try {
      part->Data.reserve(static_cast<size_t>(FExpected - FSize));
      return part;
    } catch (const std::bad_alloc&) {
    } catch (const std::length_error&) {
    }
    part->Charge.Clear();
  }
  // Without an announcement the first part grows by itself (most bodies are
  // small); later parts are fixed-size pieces that are never reallocated.
  const size_t room = FParts.empty() ? firstBytes : std::max(firstBytes, PartSize);
  if (!part->Charge.Add(room)) return nullptr;
  part->Data.reserve(room);
  return part;
}

bool TCaptureBuffer::AppendInMemory(const char* bytes, size_t size) {
  TPart* last = FParts.empty() || FLastPublished ? nullptr : FParts.back().get();
  if (last) {
    std::string& data = last->Data;
    const size_t room = data.capacity() - data.size();
    if (size <= room) {
      data.append(bytes, size);
      FSize += size;
      return true;
    }
    // The only part, while still small, grows like any string.
    if (FParts.size() == 1 && data.capacity() < PartSize) {
      const size_t grown = std::max(data.size() + size, 2 * data.capacity());
      if (grown > last->Charge.Bytes() && !last->Charge.Add(grown - last->Charge.Bytes())) return false;
      data.reserve(grown);
      data.append(bytes, size);
      FSize += size;
      return true;
    }
    // Fill this part and continue in a new one; allocate first so that a
    // failure leaves nothing half-appended.
    std::shared_ptr<TPart> next = NewPart(size - room);
    if (!next) return false;
    data.append(bytes, room);
    next->Data.append(bytes + room, size - room);
    FParts.push_back(std::move(next));
    FSize += size;
    return true;
  }
  std::shared_ptr<TPart> next = NewPart(size);
  if (!next) return false;
  next->Data.append(bytes, size);
  FParts.push_back(std::move(next));
  FLastPublished = false;
  FSize += size;
  return true;
}

// The budget is used up: what is in memory goes to the file, and so does
// everything after it. Published parts stay with the store that holds them.
void TCaptureBuffer::StartSpilling() {
  FSpilling = true;
  for (const std::shared_ptr<TPart>& part : FParts) SpillAppend(part->Data.data(), part->Data.size());
  FParts.clear();
  FLastPublished = false;
}

// A full stage goes to the writer thread with its charge, and the next one
// is a fresh buffer; a stage without a charge of its own is written here.
void TCaptureBuffer::SpillStage() {
  if (FStage.empty()) return;
  if (FTicket && FTicket->Failed.load()) throw TCaptureDropped("temporary file not written");
  if (FStageCharge.Bytes() == 0) {
    if (!FArea->Write(FStage.data(), FStage.size(), FExtents)) throw TCaptureDropped("temporary file not written");
    FStage.clear();
    return;
  }
  if (!FTicket) FTicket = std::make_shared<TSpillTicket>();
  const uint64_t room = FArea->Budget() - std::min(FArea->Budget(), FArea->Charged());
  FArea->Wait(*FTicket, (room >= FArea->StageReserve() / 2 ? DeepStagesBehind : StagesBehind) - 1);
  if (!FArea->WriteBehind(FStage, FStageCharge, FExtents, FTicket)) throw TCaptureDropped("temporary file not written");
}

// Every byte handed over is in the file, or the capture is dropped.
void TCaptureBuffer::WaitWritten() const {
  if (!FTicket) return;
  FArea->Wait(*FTicket, 0);
  if (FTicket->Failed.load()) throw TCaptureDropped("temporary file not written");
}

// The stage's memory goes once its bytes are in the file: a transfer that
// ended holds none until its monitor is freed.
void TCaptureBuffer::ReleaseStage() {
  SpillStage();
  WaitWritten();
  FStage = std::string();
  FStageCharge.Clear();
}

void TCaptureBuffer::SpillThroughStack(const char* bytes, size_t size) {
  char slice[StackSlice];
  while (size > 0) {
    const size_t n = std::min(size, sizeof(slice));
    std::memcpy(slice, bytes, n);
    if (!FArea->Write(slice, n, FExtents)) throw TCaptureDropped("temporary file not written");
    bytes += n;
    size -= n;
  }
}

void TCaptureBuffer::SpillAppend(const char* bytes, size_t size) {
  while (size > 0) {
    if (FStage.capacity() < SpillChunk) {
      if (!FStageCharge.Area()) FStageCharge = TBudgetCharge(FArea);
      // The stages on their way hold the reserve: wait for them before
      // falling back to small writes here.
      bool charged = FStageCharge.Bytes() >= SpillChunk || FStageCharge.Add(SpillChunk, true);
      for (uint32_t behind; !charged && FTicket && (behind = FTicket->InFlight.load()) > 0;) {
        FArea->Wait(*FTicket, behind - 1);
        if (FTicket->Failed.load()) throw TCaptureDropped("temporary file not written");
        charged = FStageCharge.Add(SpillChunk, true);
      }
      if (!charged) {
        SpillStage();
        SpillThroughStack(bytes, size);
        return;
      }
      try {
        FStage.reserve(SpillChunk);
      } catch (...) {
        FStageCharge.Clear();
        throw;
      }
    }
    // A full stage is handed over, which leaves a fresh one to fill.
    const size_t n = std::min(size, SpillChunk - FStage.size());
    FStage.append(bytes, n);
    bytes += n;
    size -= n;
    if (FStage.size() == SpillChunk) SpillStage();
  }
}

void TCaptureBuffer::Append(const void* data, size_t size) {
  if (size == 0) return;
  const char* bytes = static_cast<const char*>(data);
  FPublished.reset();
  if (!FSpilling) {
    if (AppendInMemory(bytes, size)) return;
    StartSpilling();
  }
  SpillAppend(bytes, size);
  FSize += size;
}

TCaptureBuffer::Bytes TCaptureBuffer::Publish() {
  if (FPublished) return FPublished;
  if (!FSpilling) {
    if (FParts.empty()) {
      FParts.push_back(std::make_shared<TPart>());
    } else if (FParts.size() == 1) {
      std::shared_ptr<TPart>& only = FParts.front();
      // A small body in a half-empty string is stored at its own size; the
      // store keeps it for the life of the process.
      if (!FLastPublished && only->Data.capacity() - only->Data.size() > only->Data.size() / 8 + 64) {
        auto fitted = std::make_shared<TPart>(TPart{only->Data, std::move(only->Charge)});
        fitted->Charge.Trim(fitted->Data.capacity());
        only = std::move(fitted);
      }
    } else {
      TBudgetCharge charge(FArea);
      if (!charge.Add(FSize)) {
        // No room for the joined copy: the parts go to the file instead.
        StartSpilling();
        return Publish();
      }
      // Join the parts, freeing each as soon as it is copied.
      auto whole = std::make_shared<TPart>();
      whole->Charge = std::move(charge);
      whole->Data.reserve(static_cast<size_t>(FSize));
      for (std::shared_ptr<TPart>& part : FParts) {
        whole->Data.append(part->Data);
        part.reset();
      }
      FParts.assign(1, whole);
    }
    FLastPublished = true;
    FPublished = Share(FParts.front());
    return FPublished;
  }
  ReleaseStage();
  FPublished = std::make_shared<const TCapturedBytes>(FArea, FExtents);
  return FPublished;
}

std::string TCaptureBuffer::Copy() const {
  if (FSpilling) WaitWritten();
  if (FSpilling) return TCapturedBytes(FArea, FExtents).Text() + FStage;
  std::string result;
  result.reserve(static_cast<size_t>(FSize));
  for (const std::shared_ptr<TPart>& part : FParts) result.append(part->Data);
  return result;
}

void TCaptureBuffer::Clear() noexcept {
  FParts.clear();
  // Stages on their way give their memory back before the capture is gone.
  if (FTicket) FArea->Wait(*FTicket, 0);
  FTicket.reset();
  FStage = std::string();
  FStageCharge.Clear();
  FExtents.clear();
  FPublished.reset();
  FLastPublished = false;
  FSpilling = false;
  FSize = 0;
}

// ---------------------------------------------------------------- one request

void TRequestCapture::Begin(std::string url) {
  std::lock_guard<std::mutex> guard(FLock);
  FURL.swap(url);
  FAnnounced = 0;
}

std::string TRequestCapture::URL() const {
  std::lock_guard<std::mutex> guard(FLock);
  return FURL;
}

void TRequestCapture::Announce(uint64_t total) {
  std::lock_guard<std::mutex> guard(FLock);
  FAnnounced = total;
}

bool TRequestCapture::Finished() const {
  std::lock_guard<std::mutex> guard(FLock);
  return FFinished;
}

void TRequestCapture::SetFinished() {
  std::lock_guard<std::mutex> guard(FLock);
  FFinished = true;
}

int32_t TRequestCapture::ReadLength() const {
  std::lock_guard<std::mutex> guard(FLock);
  return FReadLength;
}

std::string TRequestCapture::Content() const {
  std::lock_guard<std::mutex> guard(FLock);
  return FContent.Copy();
}

void TRequestCapture::Drop(const char* reason) noexcept {
  FFailed = true;
  FContent.Clear();
  Log("TRequestCapture",
      [&] { return Format("Capture dropped (%s): SID=%d; URL=%s", reason, static_cast<int>(SID), FURL.c_str()); });
}

void TRequestCapture::Append(const void* data, size_t size) noexcept {
  if (size == 0) return;
  std::lock_guard<std::mutex> guard(FLock);
  // What the browser read counts whether or not the bytes can be kept.
  FReadLength = static_cast<int32_t>(static_cast<uint32_t>(FReadLength) + static_cast<uint32_t>(size));
  if (FFailed) return;
  // A body a 32-bit length cannot state is not kept: the browser still gets it.
  if (FAnnounced > TSpillArea::CaptureLimit || size > TSpillArea::CaptureLimit - FContent.Size()) {
    Drop("larger than 4 GiB");
    return;
  }
  try {
    FContent.ExpectSize(FAnnounced);
    FContent.Append(data, size);
  } catch (const std::bad_alloc&) {
    Drop("out of memory");
  } catch (const TCaptureDropped&) {
    FNotKept = true;
    Drop("temporary file not written");
  }
}

TRequestCapture::TEnd TRequestCapture::End(TLength response) {
  std::lock_guard<std::mutex> guard(FLock);
  FFinished = true;
  TEnd end;
  end.URL = FURL;
  end.ReadLength = FReadLength;
  end.Length = FContent.Size();
  end.Announced = response.Known ? response.Bytes : FAnnounced;
  end.Cut = end.Announced > end.Length;
  if (!end.Cut && !FFailed) {
    try {
      end.Body = FContent.Publish();
    } catch (const std::bad_alloc&) {
      Drop("out of memory");
    } catch (const TCaptureDropped&) {
      FNotKept = true;
      Drop("temporary file not written");
    }
  }
  end.NotKept = !end.Cut && FNotKept;
  return end;
}

}  // namespace tarvik
