#pragma once
// What the composer writes to and reads from: an output byte stream, and
// the cache files named in the content store.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>

namespace tarvik {

// The archive's output. Writes go front to back; the composer never reads
// back or closes the stream.
class TOutputStream {
 public:
  virtual ~TOutputStream() = default;
  virtual void Write(const char* data, size_t size) = 0;
  void Write(std::string_view text) {
    if (!text.empty()) Write(text.data(), text.size());
  }
};

// An archive held in memory.
class TMemoryOutputStream final : public TOutputStream {
 public:
  void Write(const char* data, size_t size) override { FData.append(data, size); }
  using TOutputStream::Write;
  const std::string& Data() const noexcept { return FData; }

 private:
  std::string FData;
};

// A file that exists but cannot be opened or read, or an output that
// cannot be written. Code is the platform's error number (errno natively,
// the Win32 error code in the DLL).
class TFileError : public std::runtime_error {
 public:
  TFileError(std::string path, unsigned long code, const std::string& what)
      : std::runtime_error(what), FPath(std::move(path)), FCode(code) {}
  const std::string& Path() const noexcept { return FPath; }
  unsigned long Code() const noexcept { return FCode; }

 private:
  std::string FPath;
  unsigned long FCode;
};

// An open cache file, read from start to end.
class TFileReader {
 public:
  virtual ~TFileReader() = default;
  // Fills up to size bytes; 0 only at the end. Throws TFileError.
  virtual size_t Read(char* buffer, size_t size) = 0;
  // The file's size when it was opened, to size a buffer once (0: unknown).
  virtual uint64_t SizeHint() { return 0; }
};

// Cache files by name.
class TFileSource {
 public:
  virtual ~TFileSource() = default;
  // Null when no file of that name exists (an empty name, a folder, or
  // nothing there); throws TFileError when it exists but cannot be opened.
  virtual std::unique_ptr<TFileReader> OpenIfExists(const std::string& path) = 0;
};

// The C library's files: for the native build and its tool.
class TStdFileSource final : public TFileSource {
 public:
  std::unique_ptr<TFileReader> OpenIfExists(const std::string& path) override;
};

// An output file created (or truncated) at path; a failed write throws
// TFileError, so an archive cut short by a full disk never passes for whole.
class TStdFileOutputStream final : public TOutputStream {
 public:
  explicit TStdFileOutputStream(const std::string& path);
  ~TStdFileOutputStream() override;
  TStdFileOutputStream(const TStdFileOutputStream&) = delete;
  TStdFileOutputStream& operator=(const TStdFileOutputStream&) = delete;
  void Write(const char* data, size_t size) override;
  using TOutputStream::Write;
  // Flushes and closes; throws TFileError when that fails.
  void Close();

 private:
  std::string FPath;
  std::FILE* FFile = nullptr;
};

}  // namespace tarvik
