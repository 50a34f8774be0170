#include "ComposeCommand.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "archive/SynaCode.h"
#include "core/CapturedBytes.h"

namespace tarvik::compose {
namespace {

namespace fs = std::filesystem;

class ComposeCommandTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/tarvik-compose-XXXXXX";
    ASSERT_NE(::mkdtemp(pattern), nullptr);
    FDir = pattern;
  }
  void TearDown() override { fs::remove_all(FDir); }

  std::string Path(const std::string& name) const { return FDir + "/" + name; }
  std::string Write(const std::string& name, const std::string& bytes) const {
    std::ofstream(Path(name), std::ios::binary) << bytes;
    return Path(name);
  }
  std::string Read(const std::string& name) const {
    std::ifstream in(Path(name), std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
  }
  int Run(const std::vector<std::string>& args) {
    std::ostringstream out, err;
    const int code = ComposeCommand(args, out, err);
    Out = out.str();
    Err = err.str();
    return code;
  }

  std::string FDir;
  std::string Out, Err;
};

TEST_F(ComposeCommandTest, ComposesTheManifestAsTheCaptureWould) {
  const std::string page = Write("page.html", "<html><HEAD></HEAD>page</html>");
  const std::string cache = Write("cache.png", "cached!");
  const std::string memory = Write("memory.png", std::string("mem\0ory", 7));
  const std::string manifest = Write("m.txt", "http://h/dir/index.html\ttext/html\t" + page +
                                                  "\t\t\r\n"
                                                  "\n"
                                                  "http://h/dir/a b.png\timage/png\t" +
                                                  memory + "\t" + cache +
                                                  "\thttp://ignored/\n"
                                                  "HTTP://H/dir/a b.png\ttext/plain\t\t\t\n"
                                                  "http://h/dir/missing.png\timage/png\t" +
                                                  memory + "\t" + Path("not-there.png") +
                                                  "\t\n"
                                                  "http://h/dir/empty\t\t\t\t\n"
                                                  "http://h/frame.html\ttext/html\t" +
                                                  page + "\t\thttp://h/frame/?q=1\n");
  ASSERT_EQ(Run({"--out", Path("a.mht"), "--title", "My title", manifest}), 0) << Err;
  EXPECT_EQ(Err, "");
  const std::string archive = Read("a.mht");
  EXPECT_EQ(archive.rfind(std::string("From: Tarvik Express V") + TARVIK_PRODUCT_VERSION + " (", 0), 0u);
  EXPECT_NE(archive.find("\r\nSubject: My title\r\n\r\n"), std::string::npos);
  // The first URL is the default base; a base's query is dropped.
  EXPECT_NE(archive.find(Base64Encode("<html><HEAD><base href=\"http://h/dir/index.html\">\r\n</head>page</html>")),
            std::string::npos);
  EXPECT_NE(archive.find(Base64Encode("<html><HEAD><base href=\"http://h/frame/\">\r\n</head>page</html>")),
            std::string::npos);
  // The cache file wins; the second line of a URL keeps the first line's record.
  // A missing cache file leaves the captured bytes.
  EXPECT_NE(archive.find("Content-Location: http://h/dir/missing.png\r\nContent-Type: image/png\r\n"
                         "Content-Transfer-Encoding: base64\r\n\r\n" +
                         Base64Encode(std::string("mem\0ory", 7)) + "\r\n"),
            std::string::npos);
  size_t at = 0;
  int cacheParts = 0;
  while ((at = archive.find("Content-Location: http://h/dir/a b.png\r\nContent-Type: image/png\r\n"
                            "Content-Transfer-Encoding: base64\r\n\r\n" +
                                Base64Encode("cached!") + "\r\n",
                            at)) != std::string::npos) {
    ++cacheParts;
    ++at;
  }
  EXPECT_EQ(cacheParts, 2);
  EXPECT_NE(archive.find("Content-Location: http://h/dir/empty\r\nContent-Type: text/plain\r\n"), std::string::npos);
  // No empty alias where a web address parser files "a b.png".
  EXPECT_EQ(archive.find("Content-Location: http://h/dir/a%20b.png\r\n"), std::string::npos);
  EXPECT_EQ(archive.substr(archive.size() - 4), "--\r\n");
}

// Content files past the memory budget are kept in the temporary file, as
// captures are, and the archive is the same byte for byte.
TEST_F(ComposeCommandTest, ContentPastTheBudgetMakesTheSameArchive) {
  std::string big(300000, '\0');
  for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>(i * 7 % 251);
  const std::string manifest = Write("m.txt", "http://h/index.html\ttext/html\t" +
                                                  Write("page.html", "<html><head></head>" + big.substr(0, 5000)) +
                                                  "\t\t\n"
                                                  "http://h/big.bin\tapplication/octet-stream\t" +
                                                  Write("big.bin", big) + "\t\t\n");
  const std::vector<std::string> args = {"--out", Path("a.mht"), "--version", "1", manifest};
  ASSERT_EQ(Run(args), 0) << Err;
  const std::string inMemory = Read("a.mht");
  const auto earlier = SetProcessSpillArea(std::make_shared<TSpillArea>(TSpillArea::TOptions{4096, FDir}));
  ASSERT_EQ(Run(args), 0) << Err;
  const auto area = SetProcessSpillArea(earlier);
  EXPECT_GE(area->Written(), big.size());
  // Only the identity and the date differ between two runs.
  auto same = [](std::string archive) {
    const size_t idAt = archive.find("X-Tarvik-ArchiveID: ") + 20;
    const std::string id = archive.substr(idAt, archive.find("\r\n", idAt) - idAt);
    for (size_t at; (at = archive.find(id)) != std::string::npos;) archive.replace(at, id.size(), "ID");
    const size_t dateAt = archive.find("Date: ");
    return archive.erase(dateAt, archive.find("\r\n", dateAt) - dateAt);
  };
  EXPECT_TRUE(same(Read("a.mht")) == same(inMemory));
  EXPECT_NE(inMemory.find(Base64Encode(big)), std::string::npos);
}

TEST_F(ComposeCommandTest, VersionOptionAndNoTitle) {
  const std::string manifest = Write("m.txt", "http://h/\ttext/plain\t\t\t\n");
  ASSERT_EQ(Run({"--version=", "--out=" + Path("a.mht"), manifest}), 0) << Err;
  const std::string archive = Read("a.mht");
  EXPECT_EQ(archive.rfind("From: Tarvik Express V (", 0), 0u);
  EXPECT_NE(archive.find("boundary= \"--Tarvik-Express--{"), std::string::npos);
  EXPECT_EQ(archive.find("Subject:"), std::string::npos);
  ASSERT_EQ(Run({"--out", Path("b.mht"), "--version", "7.1 beta", manifest}), 0) << Err;
  EXPECT_NE(Read("b.mht").find("\r\nX-MimeOLE: Produced By Tarvik Express V7.1 beta\r\n"), std::string::npos);
}

TEST_F(ComposeCommandTest, TimeOptionReportsOnlyAfterTheArchiveIsWritten) {
  const std::string manifest = Write("m.txt", "http://h/\ttext/plain\t" + Write("p.txt", "page") + "\t\t\n");
  ASSERT_EQ(Run({"--out", Path("a.mht"), manifest}), 0) << Err;
  EXPECT_EQ(Err, "");
  ASSERT_EQ(Run({"--time", "--out", Path("b.mht"), manifest}), 0) << Err;
  double ms = -1;
  ASSERT_EQ(std::sscanf(Err.c_str(), "compose: %lf ms\n", &ms), 1) << Err;
  EXPECT_GE(ms, 0.0);
  EXPECT_NE(Read("b.mht").find(Base64Encode("page")), std::string::npos);
  // A failed run reports its failure, not a time.
  EXPECT_EQ(Run({"--time", "--out", Path("no-such-dir/c.mht"), manifest}), 1);
  EXPECT_EQ(Err.find(" ms\n"), std::string::npos) << Err;
}

TEST_F(ComposeCommandTest, BadManifestsNameTheLineAndFail) {
  struct Case {
    std::string Manifest;
    std::string Message;
  } cases[] = {
      {"http://h/a\ttext/html\t\t\t\nhttp://h/b\ttext/html\t\t\n", "m.txt:2: expected 5 TAB-separated fields"},
      {"http://h/a\t\t\t\t\t\n", "m.txt:1: expected 5 TAB-separated fields"},
      {"\n\n\ttext/html\t\t\t\n", "m.txt:3: the URL field is empty"},
      {"http://h/a\t\t" + Path("nothing-here") + "\t\t\n", "m.txt:1: cannot open content file"},
      {"http://h/a\t\t\t\t\nhttp://H/A\t\t" + Path("nothing-here") + "\t\t\n", "m.txt:2: cannot open content file"},
      {"\n\n", "m.txt: the manifest lists no entries"},
  };
  for (const Case& c : cases) {
    const std::string manifest = Write("m.txt", c.Manifest);
    EXPECT_EQ(Run({"--out", Path("a.mht"), manifest}), 1) << c.Manifest;
    EXPECT_NE(Err.find(c.Message), std::string::npos) << Err;
    EXPECT_FALSE(fs::exists(Path("a.mht")));
  }
  EXPECT_EQ(Run({"--out", Path("a.mht"), Path("no-manifest")}), 1);
  EXPECT_NE(Err.find("cannot open manifest"), std::string::npos);
}

TEST_F(ComposeCommandTest, UnreadableCacheFileFailsNamingItsLine) {
  // Exists, opens, and fails on the first read (even for root).
  const std::string manifest =
      Write("m.txt", "http://h/ok\ttext/plain\t\t\t\nhttp://h/bad\timage/png\t\t/proc/self/mem\t\n");
  EXPECT_EQ(Run({"--out", Path("a.mht"), manifest}), 1);
  EXPECT_NE(Err.find("m.txt:2: Cannot read file \"/proc/self/mem\""), std::string::npos) << Err;
  EXPECT_FALSE(fs::exists(Path("a.mht")));
  // An archive already there is kept whole, and nothing is left beside it.
  Write("a.mht", "the earlier archive");
  EXPECT_EQ(Run({"--out", Path("a.mht"), manifest}), 1);
  EXPECT_EQ(Read("a.mht"), "the earlier archive");
  EXPECT_EQ(std::distance(fs::directory_iterator(FDir), fs::directory_iterator()), 2);
  EXPECT_EQ(Run({"--out", Path("a.mht"), Write("ok.txt", "http://h/ok\ttext/plain\t\t\t\n")}), 0) << Err;
  EXPECT_NE(Read("a.mht").find("Content-Location: http://h/ok\r\n"), std::string::npos);
}

TEST_F(ComposeCommandTest, UsageErrors) {
  const std::string manifest = Write("m.txt", "http://h/\t\t\t\t\n");
  const std::string out = Path("a.mht");
  struct Case {
    std::vector<std::string> Args;
    int Status;
    std::string Message;  // in the error output; empty: not checked
  } cases[] = {
      {{manifest}, 2, "--out FILE is required"},
      {{"--out", out}, 2, "MANIFEST is required"},
      {{"--out", out, "--bogus", manifest}, 2, "unknown option --bogus"},
      {{"--out", out, "--version", "1\"2", manifest}, 2, ""},
      {{"--out", out, "--version", "1\r\n2", manifest}, 2, ""},
      {{"--out", out, manifest, manifest}, 2, ""},
      {{"--out", out, "--title"}, 2, ""},
      {{"--out", Path("no-such-dir/a.mht"), manifest}, 1, "Cannot create file"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(Run(c.Args), c.Status) << c.Args.back();
    if (!c.Message.empty()) {
      EXPECT_NE(Err.find(c.Message), std::string::npos) << Err;
    }
    EXPECT_FALSE(fs::exists(out)) << c.Args.back();
  }
  EXPECT_EQ(Run({"--help"}), 0);
  EXPECT_NE(Out.find("usage: tarvik-compose --out FILE"), std::string::npos);
}

}  // namespace
}  // namespace tarvik::compose
