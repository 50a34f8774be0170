#include "protocol/CaptureBuffer.h"

#include <algorithm>
#include <new>

namespace tarvik {

std::shared_ptr<std::string> TCaptureBuffer::NewPart(size_t firstBytes) {
  auto part = std::make_shared<std::string>();
  if (FExpected > FSize + firstBytes) {
    // An announced body gets its whole rest in one allocation, so it can be
    // published without a copy. A size the memory cannot hold is ignored.
    try {
      part->reserve(FExpected - FSize);
      return part;
    } catch (const std::bad_alloc&) {
    } catch (const std::length_error&) {
    }
  }
  // Without an announcement the first part grows by itself (most bodies are
  // small); later parts are fixed-size pieces that are never reallocated.
  part->reserve(FParts.empty() ? firstBytes : std::max(firstBytes, PartSize));
  return part;
}

void TCaptureBuffer::Append(const void* data, size_t size) {
  if (size == 0) return;
  const char* bytes = static_cast<const char*>(data);
  std::string* last = FParts.empty() || FLastPublished ? nullptr : FParts.back().get();
  if (last) {
    const size_t room = last->capacity() - last->size();
    // The only part, while still small, grows like any string.
    if (size <= room || (FParts.size() == 1 && last->capacity() < PartSize)) {
      last->append(bytes, size);
      FSize += size;
      return;
    }
    // Fill this part and continue in a new one; allocate first so that a
    // failure leaves nothing half-appended.
    std::shared_ptr<std::string> next = NewPart(size - room);
    last->append(bytes, room);
    next->append(bytes + room, size - room);
    FParts.push_back(std::move(next));
    FSize += size;
    return;
  }
  std::shared_ptr<std::string> next = NewPart(size);
  next->append(bytes, size);
  FParts.push_back(std::move(next));
  FLastPublished = false;
  FSize += size;
}

TCaptureBuffer::Bytes TCaptureBuffer::Publish() {
  if (FParts.empty()) {
    FParts.push_back(std::make_shared<std::string>());
    FLastPublished = true;
    return FParts.front();
  }
  if (FParts.size() == 1) {
    std::shared_ptr<std::string>& only = FParts.front();
    // A small body in a half-empty string is stored at its own size; the
    // store keeps it for the life of the process.
    if (!FLastPublished && only->capacity() - only->size() > only->size() / 8 + 64)
      only = std::make_shared<std::string>(*only);
    FLastPublished = true;
    return only;
  }
  // Join the parts, freeing each as soon as it is copied.
  auto whole = std::make_shared<std::string>();
  whole->reserve(FSize);
  for (std::shared_ptr<std::string>& part : FParts) {
    whole->append(*part);
    part.reset();
  }
  FParts.assign(1, whole);
  FLastPublished = true;
  return whole;
}

std::string TCaptureBuffer::Copy() const {
  std::string result;
  result.reserve(FSize);
  for (const std::shared_ptr<std::string>& part : FParts) result.append(*part);
  return result;
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

void TRequestCapture::Announce(size_t total) {
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

void TRequestCapture::Append(const void* data, size_t size) noexcept {
  if (size == 0) return;
  std::lock_guard<std::mutex> guard(FLock);
  if (FFailed) return;
  try {
    FContent.ExpectSize(FAnnounced);
    FContent.Append(data, size);
    FReadLength += static_cast<int32_t>(size);
  } catch (const std::bad_alloc&) {
    FFailed = true;
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
      FFailed = true;
    }
  }
  return end;
}

}  // namespace tarvik
