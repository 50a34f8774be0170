#include "core/CapturedBytes.h"

#include <gtest/gtest.h>
#ifdef _WIN32
#include <windows.h>
#else
#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

#include <atomic>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "core/ChaCha20.h"
#include "core/spill/SpillFile.h"
#include "support/TraceRecorder.h"

namespace tarvik {
namespace {

std::vector<uint8_t> Hex(const char* text) {
  std::vector<uint8_t> bytes;
  for (const char* p = text; p[0] && p[1];) {
    if (*p == ' ') {
      ++p;
      continue;
    }
    bytes.push_back(static_cast<uint8_t>(std::stoi(std::string(p, 2), nullptr, 16)));
    p += 2;
  }
  return bytes;
}

struct TKeyNonce {
  uint8_t Key[32];
  uint8_t Nonce[12];
};

TKeyNonce Rfc(const char* nonceHex) {
  TKeyNonce k{};
  for (int i = 0; i < 32; ++i) k.Key[i] = static_cast<uint8_t>(i);
  const std::vector<uint8_t> nonce = Hex(nonceHex);
  std::memcpy(k.Nonce, nonce.data(), 12);
  return k;
}

// The test vectors of RFC 8439: the block function (2.3.2), the all-zero
// key and nonce (A.1 #1) and the encryption example (2.4.2).
TEST(ChaCha20, MatchesTheRfcTestVectors) {
  const TKeyNonce block = Rfc("000000090000004a00000000");
  uint8_t out[64];
  TChaCha20(block.Key, block.Nonce).Block(1, out);
  EXPECT_EQ(std::vector<uint8_t>(out, out + 64),
            Hex("10f1e7e4d13b5915500fdd1fa32071c4c7d1f4c733c068030422aa9ac3d46c4e"
                "d2826446079faa0914c2d705d98b02a2b5129cd1de164eb9cbd083e8a2503c4e"));

  const uint8_t zeroKey[32] = {};
  const uint8_t zeroNonce[12] = {};
  TChaCha20(zeroKey, zeroNonce).Block(0, out);
  EXPECT_EQ(std::vector<uint8_t>(out, out + 64),
            Hex("76b8e0ada0f13d90405d6ae55386bd28bdd219b8a08ded1aa836efcc8b770dc7"
                "da41597c5157488d7724e03fb8d84a376a43b8f41518a11cc387b669b2ee6586"));

  const TKeyNonce sunscreen = Rfc("000000000000004a00000000");
  std::string text =
      "Ladies and Gentlemen of the class of '99: If I could offer you only one tip for the future, sunscreen would be "
      "it.";
  TChaCha20(sunscreen.Key, sunscreen.Nonce).Apply(0, text.data(), text.size(), 1);
  const std::vector<uint8_t> expected =
      Hex("6e2e359a2568f98041ba0728dd0d6981e97e7aec1d4360c20a27afccfd9fae0bf91b65c5524733ab8f593dabcd62b357"
          "1639d624e65152ab8f530c359f0861d807ca0dbf500d6a6156a38e088a22b65e52bc514d16ccf806818ce91ab7793736"
          "5af90bbf74a35be6b40b8eedf2785e42874d");
  EXPECT_EQ(std::vector<uint8_t>(text.begin(), text.end()), expected);
}

// A range read back alone decrypts like the whole stream: the spill file is
// read from the middle of a part.
TEST(ChaCha20, AnyRangeOfTheStreamMatchesTheWholeStream) {
  const TKeyNonce k = Rfc("000000000000004a00000000");
  const TChaCha20 cipher(k.Key, k.Nonce);
  std::string whole(1000, '\0');
  cipher.Apply(0, whole.data(), whole.size());
  for (size_t from : {0u, 1u, 63u, 64u, 65u, 500u}) {
    for (size_t size : {1u, 63u, 64u, 129u}) {
      std::string piece(size, '\0');
      cipher.Apply(from, piece.data(), size);
      EXPECT_EQ(piece, whole.substr(from, size)) << from << "+" << size;
    }
  }
}

#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__) && !defined(_WIN32)
// The block function's final state, with one output block, gives the key
// back: none of it may stay on the stack once the block is made.
__attribute__((noinline)) void MakeBlock(const TChaCha20& cipher, uint8_t (&out)[64]) { cipher.Block(7, out); }

// Whether the stack below the caller still holds four consecutive words of the state.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wuninitialized"
__attribute__((noinline)) bool StackHolds(const uint32_t (&words)[16]) {
  volatile uint32_t below[2048];  // deliberately not initialized: what the last call left
  for (size_t i = 0; i + 4 <= 2048; ++i) {
    for (int w = 0; w + 4 <= 16; ++w) {
      bool all = true;
      for (int k = 0; k < 4 && all; ++k) all = below[i + k] == words[w + k];
      if (all) return true;
    }
  }
  return false;
}
#pragma GCC diagnostic pop

TEST(ChaCha20, LeavesNoStateOnTheStack) {
  const TKeyNonce k = Rfc("000000090000004a00000000");
  const TChaCha20 cipher(k.Key, k.Nonce);
  uint8_t out[64];
  MakeBlock(cipher, out);
  // The final state: output minus the input words (constants, key, counter, nonce).
  uint32_t input[16] = {0x61707865, 0x3320646e, 0x79622d32, 0x6b206574};
  for (int i = 0; i < 8; ++i) std::memcpy(&input[4 + i], k.Key + 4 * i, 4);
  input[12] = 7;
  for (int i = 0; i < 3; ++i) std::memcpy(&input[13 + i], k.Nonce + 4 * i, 4);
  uint32_t state[16];
  for (int i = 0; i < 16; ++i) {
    uint32_t word;
    std::memcpy(&word, out + 4 * i, 4);
    state[i] = word - input[i];
  }
  MakeBlock(cipher, out);
  EXPECT_FALSE(StackHolds(state));
}
#endif

std::string Pattern(size_t size, unsigned seed) {
  std::mt19937 random(seed);
  std::string s(size, '\0');
  for (char& c : s) c = static_cast<char>(random());
  return s;
}

std::string TestFolder() { return DefaultSpillFolder(); }

#ifdef _WIN32
constexpr const char* MissingFolder = "C:\\nonexistent\\tarvik-spill";
constexpr const char* ReadOnlyFolder = "Z:\\proc\\self";

// No other open of the file succeeds while it lives: its bytes are read
// through the area's own handle, as they are on disk.
bool NameUnreachable(const std::string& path) {
  const HANDLE h = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                               nullptr, OPEN_EXISTING, 0, nullptr);
  if (h != INVALID_HANDLE_VALUE) CloseHandle(h);
  return h == INVALID_HANDLE_VALUE && GetLastError() == ERROR_SHARING_VIOLATION;
}

std::string FileBytes(const TSpillArea& area) {
  std::string bytes(static_cast<size_t>(area.Written()), '\0');
  if (!area.File()->ReadAt(0, bytes.data(), bytes.size())) bytes.clear();
  return bytes;
}
#else
constexpr const char* MissingFolder = "/nonexistent/tarvik-spill";
constexpr const char* ReadOnlyFolder = "/proc/self";

bool NameUnreachable(const std::string& path) { return access(path.c_str(), F_OK) != 0; }

// The bytes of the file, read through a new open of the descriptor's link
// (the name itself is gone).
std::string FileBytes(const TSpillArea& area) {
  const std::string path = area.File()->Path();
  DIR* dir = opendir("/proc/self/fd");
  std::string bytes;
  while (dirent* entry = dir ? readdir(dir) : nullptr) {
    const std::string link = std::string("/proc/self/fd/") + entry->d_name;
    char target[4096];
    const ssize_t n = readlink(link.c_str(), target, sizeof(target) - 1);
    if (n <= 0 || std::string(target, static_cast<size_t>(n)).find(path) != 0) continue;
    std::ifstream in(link, std::ios::binary);
    bytes.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    break;
  }
  if (dir) closedir(dir);
  return bytes;
}
#endif

// Captures in memory stop an eighth short of the budget: the rest is kept
// for the stages of transfers that spill once memory is full.
TEST(SpillArea, TheBudgetCountsBytesUntilTheyGoAndKeepsAReserveForStages) {
  auto area = std::make_shared<TSpillArea>(TSpillArea::TOptions{800, TestFolder()});
  ASSERT_EQ(area->StageReserve(), 100u);
  TBudgetCharge a(area);
  EXPECT_TRUE(a.Add(600));
  {
    TBudgetCharge b(area);
    EXPECT_FALSE(b.Add(101));
    EXPECT_TRUE(b.Add(100));
    EXPECT_FALSE(area->Charge(1));
    TBudgetCharge stage(area);
    EXPECT_FALSE(stage.Add(101, true));
    EXPECT_TRUE(stage.Add(100, true));
    EXPECT_FALSE(area->Charge(1, true));
    TBudgetCharge moved = std::move(b);
    EXPECT_EQ(area->Charged(), 800u);
  }
  EXPECT_EQ(area->Charged(), 600u);
  EXPECT_FALSE(area->Charge(uint64_t{1} << 63, true));
  a.Clear();
  EXPECT_EQ(area->Charged(), 0u);
}

TEST(SpillArea, SpilledBytesComeBackExactAndTheFileHoldsNoPlainText) {
  auto area = std::make_shared<TSpillArea>(TSpillArea::TOptions{0, TestFolder()});
  const std::string a = "<html>secret page of the user</html>" + Pattern(70000, 1);
  const std::string b = Pattern(1000, 2) + "card number 4111 1111 1111 1111";
  std::vector<TSpillExtent> ea, eb;
  for (size_t at = 0; at < a.size(); at += 30000) {
    std::string piece = a.substr(at, 30000);
    TSpillExtent where;
    ASSERT_TRUE(area->Write(piece.data(), piece.size(), where));
    ea.push_back(where);
    std::string other = b.substr(std::min(b.size(), at / 100), 500);
    if (at == 0) {
      other = b;
      ASSERT_TRUE(area->Write(other.data(), other.size(), where));
      eb.push_back(where);
    }
  }
  const TCapturedBytes bytesA(area, ea), bytesB(area, eb);
  EXPECT_TRUE(bytesA.Spilled());
  EXPECT_EQ(bytesA.size(), a.size());
  EXPECT_TRUE(bytesA == a);
  EXPECT_TRUE(bytesB == b);
  std::string middle(40000, '\0');
  ASSERT_TRUE(bytesA.ReadAt(25000, middle.data(), middle.size()));  // across two pieces
  EXPECT_EQ(middle, a.substr(25000, 40000));
  EXPECT_FALSE(bytesA.ReadAt(a.size() - 10, middle.data(), 11));

  ASSERT_NE(area->File(), nullptr);
  const std::string path = area->File()->Path();
  EXPECT_NE(path.find(SpillFilePrefix), std::string::npos) << path;
  EXPECT_TRUE(NameUnreachable(path)) << path;
  const std::string onDisk = FileBytes(*area);
  ASSERT_EQ(onDisk.size(), a.size() + b.size());
  EXPECT_EQ(onDisk.find("secret page"), std::string::npos);
  EXPECT_EQ(onDisk.find("4111 1111"), std::string::npos);
  EXPECT_EQ(onDisk.find(a.substr(40000, 16)), std::string::npos);
}

// Spill files of this process as the system sees them: how many, and the
// bytes they take on disk (allocated natively, where the names are gone;
// their lengths in folder on Windows).
std::pair<int, uint64_t> SpillFilesOnDisk([[maybe_unused]] const std::filesystem::path& folder) {
  int files = 0;
  uint64_t bytes = 0;
#ifdef _WIN32
  for (const auto& entry : std::filesystem::directory_iterator(folder)) {
    if (entry.path().filename().string().rfind(SpillFilePrefix, 0) != 0) continue;
    ++files;
    bytes += entry.file_size();
  }
#else
  for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
    std::error_code error;
    const std::string target = std::filesystem::read_symlink(entry.path(), error).string();
    if (error || target.find(SpillFilePrefix) == std::string::npos) continue;
    struct stat info;
    if (::stat(entry.path().c_str(), &info) != 0) continue;
    ++files;
    bytes += static_cast<uint64_t>(info.st_blocks) * 512;
  }
#endif
  return {files, bytes};
}

// A folder of one test's own, removed with what is in it.
struct TScratch {
  std::filesystem::path Path =
      std::filesystem::temp_directory_path() / ("tarvik-spill-test-" + std::to_string(std::random_device()()));
  TScratch() { std::filesystem::create_directories(Path); }
  ~TScratch() {
    std::error_code ignored;
    std::filesystem::remove_all(Path, ignored);
  }
};

std::vector<TSpillExtent> Spill(TSpillArea& area, const std::string& bytes, size_t piece = 64 << 10) {
  std::vector<TSpillExtent> extents;
  for (size_t at = 0; at < bytes.size(); at += piece) {
    std::string part = bytes.substr(at, piece);
    EXPECT_TRUE(area.Write(part.data(), part.size(), extents));
  }
  return extents;
}

// Space that no capture holds goes back to the system: bytes that a later
// read of the same address replaced are moved out of the way once dead
// bytes outweigh held ones (what is held moves to a fresh file under a
// fresh key, read back exact, even by a reader that took the bytes before),
// and the file goes when nothing in it is held.
TEST(SpillArea, SpaceNoCaptureHoldsGoesBackToTheSystem) {
  TScratch scratch;
  auto area = std::make_shared<TSpillArea>(TSpillArea::TOptions{0, scratch.Path.string()});
  const std::string first = Pattern(2 << 20, 1), kept = Pattern(1 << 20, 2);
  auto held = std::make_shared<TCapturedBytes>(area, Spill(*area, kept));
  const TCapturedBytes reader = *held;  // a composer in the middle of its read
  std::vector<TSpillExtent> current = Spill(*area, first);
  uint64_t largest = 0;
  for (unsigned reload = 0; reload < 16; ++reload) {
    // The same address fetched again: the new body replaces the old one.
    std::vector<TSpillExtent> next = Spill(*area, Pattern(2 << 20, 10 + reload));
    current = std::move(next);
    area->WaitForCloses();
    largest = std::max(largest, SpillFilesOnDisk(scratch.Path).second);
    // Dead bytes are moved out of the way once they outweigh held ones.
    EXPECT_LE(area->DiskBytes(), 2 * area->LiveBytes() + TSpillArea::CompactFrom) << reload;
  }
  // 16 x 2 MiB written, 3 MiB held: the disk never held much more than three times that.
  EXPECT_GE(area->Written(), uint64_t{16} * (2 << 20));
  EXPECT_LE(largest, uint64_t{3} * (3 << 20) + TSpillArea::CompactFrom + (1 << 20));
  EXPECT_TRUE(*held == kept);
  EXPECT_TRUE(reader == kept);
  EXPECT_TRUE(TCapturedBytes(area, current) == Pattern(2 << 20, 10 + 15));

  current.clear();
  held.reset();
  EXPECT_TRUE(reader == kept);
  EXPECT_GT(SpillFilesOnDisk(scratch.Path).first, 0);
  { const TCapturedBytes gone = std::move(const_cast<TCapturedBytes&>(reader)); }
  area->WaitForCloses();
  EXPECT_EQ(area->LiveBytes(), 0u);
  EXPECT_EQ(area->DiskBytes(), 0u);
  EXPECT_EQ(area->File(), nullptr);
  EXPECT_EQ(SpillFilesOnDisk(scratch.Path), (std::pair<int, uint64_t>{0, 0}));
}

// At the quota the store is asked to let go of what it can; what it lets go
// of makes room, and a write that still finds none is refused with one
// trace line while the file stays under the quota.
std::vector<TSpillExtent>* LetGoPool = nullptr;
std::atomic<uint64_t> LetGoWanted{0};
void LetGoAll(uint64_t wanted) {
  LetGoWanted = wanted;
  if (LetGoPool) LetGoPool->clear();
}

TEST(SpillArea, AtTheQuotaTheStoreLetsGoOrTheWriteIsRefused) {
  TScratch scratch;
  TSpillArea::TOptions options{0, scratch.Path.string()};
  options.Quota = 8 << 20;
  auto area = std::make_shared<TSpillArea>(options);
  std::vector<TSpillExtent> old = Spill(*area, Pattern(6 << 20, 3));
  test::TraceRecorder trace;
  std::vector<TSpillExtent> fresh;
  SetSpillLetGo(LetGoAll);
  LetGoPool = &old;
  fresh = Spill(*area, Pattern(6 << 20, 4));
  EXPECT_TRUE(old.empty());
  EXPECT_GT(LetGoWanted.load(), 0u);
  EXPECT_TRUE(TCapturedBytes(area, fresh) == Pattern(6 << 20, 4));
  EXPECT_LE(area->DiskBytes(), options.Quota);
  // Nothing left to let go: refused, said once, and what is held stays.
  LetGoPool = nullptr;
  std::string more = Pattern(4 << 20, 5);
  EXPECT_FALSE(area->Write(more.data(), more.size(), old));
  EXPECT_FALSE(area->Write(more.data(), more.size(), old));
  SetSpillLetGo(nullptr);
  int told = 0;
  for (const test::TraceLine& line : trace.Lines()) told += line.Message.rfind("Temporary file full", 0) == 0;
  EXPECT_EQ(told, 1);
  EXPECT_LE(area->DiskBytes(), options.Quota);
  EXPECT_TRUE(TCapturedBytes(area, fresh) == Pattern(6 << 20, 4));
}

// A file that cannot be made or written fails the write, says why in a trace
// line, and nothing read before changes.
std::unique_ptr<TSpillFile> FullDisk(const std::string&, std::string&) noexcept {
  struct TFull final : TSpillFile {
    bool WriteAt(uint64_t offset, const void*, size_t size) noexcept override { return offset + size <= 4096; }
    bool ReadAt(uint64_t, void*, size_t) noexcept override { return true; }
    std::string Path() const override { return "full"; }
  };
  return std::make_unique<TFull>();
}

TEST(SpillArea, AMissingReadOnlyOrFullFolderFailsTheWriteWithATraceLine) {
  for (const char* folder : {MissingFolder, ReadOnlyFolder, "full"}) {
    test::TraceRecorder trace;
    TSpillArea::TOptions options{0, folder};
    if (std::string(folder) == "full") options.OpenFile = FullDisk;
    TSpillArea area(options);
    std::string bytes(3000, 'x');
    TSpillExtent where;
    const bool first = area.Write(bytes.data(), bytes.size(), where);
    EXPECT_EQ(first, std::string(folder) == "full") << folder;
    EXPECT_FALSE(area.Write(bytes.data(), bytes.size(), where)) << folder;
    bool told = false;
    for (const test::TraceLine& line : trace.Lines())
      told = told || (line.Source == "TSpillArea" && line.Message.find("Temporary file not") == 0);
    EXPECT_TRUE(told) << folder;
  }
}

// A file that cannot be made now is tried again later, waiting longer after
// each failure; one trace line when spilling stops working and one when it
// works again, none for the retries between.
std::atomic<uint64_t> FakeNow{0};
std::atomic<int> OpenCalls{0};
std::atomic<int> FailuresLeft{0};
uint64_t FakeClock() noexcept { return FakeNow.load(); }
std::unique_ptr<TSpillFile> FailingThenWorking(const std::string& folder, std::string& error) noexcept {
  ++OpenCalls;
  if (FailuresLeft.fetch_sub(1) > 0) {
    error = "the folder is gone";
    return nullptr;
  }
  return OpenSpillFile(folder, error);
}

// The platform's file gives back what lies past a length and keeps what
// lies before it; a length past its end leaves it as it is rather than
// growing it (a file whose last write failed is shorter than its places).
TEST(SpillArea, AFileShortensAndNeverGrows) {
  std::string error;
  std::unique_ptr<TSpillFile> file = OpenSpillFile(TestFolder(), error);
  ASSERT_TRUE(file) << error;
  const std::string bytes = std::string(4096, 'a') + std::string(4096, 'b') + std::string(4096, 'c');
  ASSERT_TRUE(file->WriteAt(0, bytes.data(), bytes.size()));
  std::string back(8192, '\0');
  char past = 0;
  for (const uint64_t length : {uint64_t{8192}, uint64_t{1} << 20, uint64_t{8192}}) {
    SCOPED_TRACE(length);
    file->Shorten(length);
    EXPECT_TRUE(file->ReadAt(0, back.data(), back.size()));
    EXPECT_EQ(back, bytes.substr(0, 8192));
    EXPECT_FALSE(file->ReadAt(8192, &past, 1));
  }
  file->Shorten(0);
  EXPECT_FALSE(file->ReadAt(0, &past, 1));
}

TEST(SpillArea, AFailedFileIsTriedAgainLaterWithLongerWaits) {
  FakeNow = 5000;
  OpenCalls = 0;
  FailuresLeft = 3;
  test::TraceRecorder trace;
  TSpillArea::TOptions options{0, TestFolder()};
  options.OpenFile = FailingThenWorking;
  options.ClockMs = FakeClock;
  TSpillArea area(options);
  std::string bytes(100, 'x');
  TSpillExtent where;
  auto write = [&] {
    std::string copy = bytes;
    return area.Write(copy.data(), copy.size(), where);
  };
  // Waits of 1 s, then 2 s, then 4 s: a try only when one has passed.
  struct TStep {
    uint64_t At;
    bool Written;
    int Calls;
  };
  for (const TStep& step :
       {TStep{5000, false, 1}, TStep{5999, false, 1}, TStep{6000, false, 2}, TStep{7999, false, 2},
        TStep{8000, false, 3}, TStep{11999, false, 3}, TStep{12000, true, 4}, TStep{12001, true, 4}}) {
    FakeNow = step.At;
    EXPECT_EQ(write(), step.Written) << step.At;
    EXPECT_EQ(OpenCalls.load(), step.Calls) << step.At;
  }
  EXPECT_EQ(TCapturedBytes(nullptr, {where}).Text(), std::string(100, 'x'));
  std::vector<std::string> told;
  for (const test::TraceLine& line : trace.Lines())
    if (line.Source == "TSpillArea") told.push_back(line.Message);
  ASSERT_EQ(told.size(), 2u);
  EXPECT_EQ(told[0], "Temporary file not made in " + TestFolder() + ": the folder is gone");
  EXPECT_EQ(told[1].rfind("Temporary file made again: ", 0), 0u) << told[1];
}

TEST(SpillArea, TheWaitBetweenTriesStopsGrowingAtAMinute) {
  FakeNow = 0;
  OpenCalls = 0;
  FailuresLeft = 1000;
  TSpillArea::TOptions options{0, TestFolder()};
  options.OpenFile = FailingThenWorking;
  options.ClockMs = FakeClock;
  TSpillArea area(options);
  char byte = 'x';
  TSpillExtent where;
  // Stepping a second at a time for an hour: a try at most once a minute after the first few.
  int calls = 0;
  for (uint64_t t = 0; t <= 3600000; t += 1000) {
    FakeNow = t;
    area.Write(&byte, 1, where);
    if (t == 600000) calls = OpenCalls.load();
  }
  EXPECT_EQ(OpenCalls.load() - calls, 50);
}

}  // namespace
}  // namespace tarvik
