#include "archive/WebArchive.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cctype>
#include <cstring>
#include <filesystem>
#include <random>
#include <string>

#include "archive/ContentSniffing.h"
#include "archive/ReaderAddress.h"
#include "archive/SynaCode.h"
#include "support/TraceRecorder.h"
#include "support/archive/ArchiveTestSupport.h"

namespace tarvik {
namespace {

using test::Base64Decode;
using test::FixedArchiveID;
using test::ParseArchive;

const std::string Boundary = std::string("--Tarvik-Express-1.2.3.4-") + FixedArchiveID;
const std::string Page = "<html><head><title>T</title></head><body><img src=\"logo.png\"></body></html>";
const std::string Png("\x89PNG\r\n\x1a\n\0\0\0\x0dIHDR", 16);

struct Composer {
  TTarvikDataBuffer Store;
  test::TMemoryFileSource Files;
  TArchiveEnvironment Env = test::FixedEnvironment(&Files);

  TURLContent& Capture(const std::string& url, const std::string& type, const std::string& content,
                       const std::string& cacheFile = "") {
    TURLContent& record = *Store.GetURLContent(url);
    record.SetContentType(type);
    record.SetContent(content, static_cast<int32_t>(content.size()));
    record.SetLocalFilename(cacheFile);
    return record;
  }
  std::string Compose(std::vector<std::string> urls, std::vector<std::string> bases = {},
                      const std::string& title = "") {
    const std::string first = urls.empty() ? std::string() : urls.front();
    TMemoryOutputStream out;
    WriteWebArchive(TURLStringList(first, std::move(urls), std::move(bases)), Store, out, title, Env);
    return out.Data();
  }
  // The decoded body of the single part of an archive of one URL.
  test::TArchivePart OnlyPart(const std::string& url, const std::string& base = "") {
    const test::TParsedArchive archive = ParseArchive(Compose({url}, {base}));
    EXPECT_GE(archive.Parts.size(), 1u);
    return archive.Parts.empty() ? test::TArchivePart{} : archive.Parts[0];
  }
};

TEST(WebArchive, TwoPartArchiveByteForByte) {
  Composer c;
  c.Capture("http://example.com/dir/index.html", "text/html", Page);
  c.Capture("http://example.com/dir/logo.png", "image/png", Png);
  test::TraceRecorder trace;
  const std::string archive = c.Compose({"http://example.com/dir/index.html", "http://example.com/dir/logo.png"},
                                        {"http://example.com/dir/index.html", ""}, "My Page");
  const std::string expected =
      "From: Tarvik Express V1.2.3.4 (http://www.tarvik.com/)\r\n"
      "Date: 12/7/2026 9:05:03 AM\r\n"
      "MIME-Version: 1.0\r\n"
      "Content-Type: multipart/related; boundary= \"" +
      Boundary +
      "\"\r\n"
      "X-MimeOLE: Produced By Tarvik Express V1.2.3.4\r\n"
      "X-Tarvik-ArchiveID: " +
      FixedArchiveID +
      "\r\n"
      "X-Unsent: 1\r\n"
      "Subject: My Page\r\n"
      "\r\n"
      "--" +
      Boundary +
      "\r\n"
      "Content-Location: http://example.com/dir/index.html\r\n"
      "Content-Type: text/html\r\n"
      "Content-Transfer-Encoding: base64\r\n"
      "\r\n"
      "PGh0bWw+PGhlYWQ+PHRpdGxlPlQ8L3RpdGxlPjxiYXNlIGhyZWY9Imh0dHA6Ly9leGFtcGxlLmNvbS9kaXIvaW5kZXguaHRtbCI+DQo8L2hl"
      "YWQ+PGJvZHk+PGltZyBzcmM9ImxvZ28ucG5nIj48L2JvZHk+PC9odG1sPg==\r\n"
      "\r\n"
      "--" +
      Boundary +
      "\r\n"
      "Content-Location: http://example.com/dir/logo.png\r\n"
      "Content-Type: image/png\r\n"
      "Content-Transfer-Encoding: base64\r\n"
      "\r\n"
      "iVBORw0KGgoAAAANSUhEUg==\r\n"
      "\r\n"
      "--" +
      Boundary + "--\r\n";
  EXPECT_EQ(archive, expected);
  const std::string source = "TTarvikEngine.ComposeWebArchive";
  EXPECT_TRUE(trace.Contains(source, std::string("Begin composing ArchiveID = ") + FixedArchiveID));
  EXPECT_TRUE(trace.Contains(source, "Write part #0 (URL=http://example.com/dir/index.html)"));
  EXPECT_TRUE(trace.Contains(source, "Done written part #0"));
  EXPECT_TRUE(trace.Contains(source, "Write part #1 (URL=http://example.com/dir/logo.png)"));
  EXPECT_TRUE(trace.Contains(source, "Done written part #1"));
  EXPECT_TRUE(trace.Contains(source, std::string("Finish composing ArchiveID = ") + FixedArchiveID));
  EXPECT_EQ(trace.Lines().size(), 6u);
}

TEST(WebArchive, HeaderBlockWithoutTitleOrVersion) {
  Composer c;
  c.Capture("http://h/a.txt", "text/plain", "x");
  std::string archive = c.Compose({"http://h/a.txt"});
  EXPECT_EQ(archive.find("Subject:"), std::string::npos);
  EXPECT_NE(archive.find("X-Unsent: 1\r\n\r\n--" + Boundary + "\r\n"), std::string::npos);

  c.Env.Version = "";
  archive = c.Compose({"http://h/a.txt"}, {}, "T\xE9t\xE9 \xFF");
  const std::string id = FixedArchiveID;
  EXPECT_EQ(archive.substr(0, archive.find("\r\nDate:")), "From: Tarvik Express V (http://www.tarvik.com/)");
  EXPECT_NE(archive.find("\r\nX-MimeOLE: Produced By Tarvik Express V\r\n"), std::string::npos);
  EXPECT_NE(archive.find("boundary= \"--Tarvik-Express--" + id + "\"\r\n"), std::string::npos);
  EXPECT_NE(archive.find("\r\nSubject: T\xE9t\xE9 \xFF\r\n\r\n----Tarvik-Express--" + id + "\r\n"), std::string::npos);
  EXPECT_EQ(archive.substr(archive.size() - id.size() - 26), "\r\n----Tarvik-Express--" + id + "--\r\n");
}

TEST(WebArchive, DateLeavesOutTheTimeOnlyAtExactMidnight) {
  Composer c;
  c.Env.Now = [] { return TLocalDateTime{2027, 1, 2, 0, 0, 0, 0}; };
  EXPECT_NE(c.Compose({}).find("\r\nDate: 1/2/2027\r\n"), std::string::npos);
  c.Env.Now = [] { return TLocalDateTime{2027, 1, 2, 0, 0, 0, 1}; };
  EXPECT_NE(c.Compose({}).find("\r\nDate: 1/2/2027 12:00:00 AM\r\n"), std::string::npos);
  c.Env.Now = [] { return TLocalDateTime{2027, 1, 2, 23, 59, 59, 0}; };
  EXPECT_NE(c.Compose({}).find("\r\nDate: 1/2/2027 11:59:59 PM\r\n"), std::string::npos);
  // 00:00 is not midnight while its seconds run.
  c.Env.Now = [] { return TLocalDateTime{2027, 1, 2, 0, 0, 30, 0}; };
  EXPECT_NE(c.Compose({}).find("\r\nDate: 1/2/2027 12:00:30 AM\r\n"), std::string::npos);
}

TEST(WebArchive, OnlyAnAddressWithAFragmentAndNoBytesIsAnAnchorPlaceholder) {
  Composer c;
  // Reached through a link to a section: the page's own bytes, not a placeholder.
  c.Capture("http://h/page.html#top", "text/html", Page);
  c.Capture("http://h/icons.svg#x", "image/svg+xml", "<svg/>");
  const std::string archive =
      c.Compose({"http://h/page.html#top", "http://h/icons.svg#x", "http://h/page.html#never-seen"});
  const test::TParsedArchive parsed = ParseArchive(archive);
  ASSERT_EQ(parsed.Parts.size(), 3u);
  EXPECT_EQ(parsed.Parts[0].Header("Content-Location"), "http://h/page.html#top");
  EXPECT_EQ(Base64Decode(parsed.Parts[0].Body), InjectBaseTag(Page, "http://h/page.html#top"));
  EXPECT_EQ(parsed.Parts[1].Header("Content-Type"), "image/svg+xml");
  EXPECT_EQ(Base64Decode(parsed.Parts[1].Body), "<svg/>");
  EXPECT_NE(archive.find("\r\n--" + Boundary + "\r\nContent-Location: http://h/page.html#never-seen\r\n\r\n\r\n--" +
                         Boundary + "--\r\n"),
            std::string::npos);
  EXPECT_TRUE(c.Store.Exists("http://h/page.html#never-seen"));  // the store gains a record
  EXPECT_EQ(c.Store.Count(), 3);
  test::TraceRecorder trace;
  c.Compose({"http://h/x#a"});
  EXPECT_TRUE(trace.Contains("TTarvikEngine.ComposeWebArchive", "Done written part #0 (local anchor placeholder)"));
}

TEST(WebArchive, OnlyHtmlTypesGetTheBaseTag) {
  const std::string html = "<HTML><HEAD></HEAD></HTML>";
  struct Case {
    const char* Type;
    bool Injected;
  } cases[] = {{"text/html", true},
               {"text/HTML; charset=utf-8", true},
               {"text/Html", true},
               {"text/css", false},
               {"text/plain", false},
               {"Text/html", false},
               {"TEXT/HTML", false},
               {"text/htm", false},
               {"application/xhtml+xml", false},
               {"image/png", false}};
  for (const Case& k : cases) {
    Composer c;
    c.Capture("http://h/p", k.Type, html);
    const test::TArchivePart part = c.OnlyPart("http://h/p", "http://h/");
    EXPECT_EQ(part.Header("Content-Type"), k.Type);
    EXPECT_EQ(Base64Decode(part.Body), k.Injected ? "<HTML><HEAD><base href=\"http://h/\">\r\n</head></HTML>" : html)
        << k.Type;
  }
}

TEST(WebArchive, BaseTagBeforeEveryClosingHeadInAnyCase) {
  Composer c;
  c.Capture("http://h/a", "text/html", "<head></HEAD>x</HeAd><he</head");
  EXPECT_EQ(Base64Decode(c.OnlyPart("http://h/a", "B").Body),
            "<head><base href=\"B\">\r\n</head>x<base href=\"B\">\r\n</head><he</head");
  c.Capture("http://h/b", "text/html", "<p>no head at all</p>");
  EXPECT_EQ(Base64Decode(c.OnlyPart("http://h/b", "B").Body), "<p>no head at all</p>");
}

TEST(WebArchive, BaseIsCutBeforeItsQueryAndKeepsInsideTheAttribute) {
  Composer c;
  c.Capture("http://h/a", "text/html", "</head>");
  EXPECT_EQ(Base64Decode(c.OnlyPart("http://h/a", "http://h/dir/page.php?x=1?y").Body),
            "<base href=\"http://h/dir/page.php\">\r\n</head>");
  EXPECT_EQ(Base64Decode(c.OnlyPart("http://h/a", "http://h/a\"onload=\"x()").Body),
            "<base href=\"http://h/a%22onload=%22x()\">\r\n</head>");
  // A missing base entry gives the default base, the first URL.
  EXPECT_EQ(Base64Decode(c.OnlyPart("http://h/a").Body), "<base href=\"http://h/a\">\r\n</head>");
}

TEST(WebArchive, OnlyAClosingHeadTagInAnyCaseGetsTheBase) {
  Composer c;
  const std::string nearMisses = "<header></header><head ></head ><HEADER></HEADER></hea></headx>";
  c.Capture("http://h/n", "text/html", nearMisses);
  EXPECT_EQ(Base64Decode(c.OnlyPart("http://h/n", "B").Body), nearMisses);
  c.Capture("http://h/y", "text/html", "</header></HEAD></head >");
  EXPECT_EQ(Base64Decode(c.OnlyPart("http://h/y", "B").Body), "</header><base href=\"B\">\r\n</head></head >");
}

// A document the browser found elsewhere than it asked: the part stands
// where it was found, first as before, and a copy at the address asked for
// carries the page's base in front of everything it names.
TEST(WebArchive, ADocumentFoundElsewhereStandsWhereFoundWithACopyWhereAsked) {
  const std::string head = "<!DOCTYPE html><html><head><link rel=stylesheet href=s.css>";
  struct Case {
    const char* Name;
    std::string Page;
    std::string Found;  // as the base list gives it
    std::string Main;   // the part's body where found
    std::string Copy;   // the copy's body, or "" for no copy
  } cases[] = {
      {"folder", head + "</head><img src=a.png>", "http://h/docs/",
       head + "<base href=\"http://h/docs/\">\r\n</head><img src=a.png>",
       "<!DOCTYPE html><html><head><base href=\"http://h/docs/\"><link rel=stylesheet href=s.css></head><img "
       "src=a.png>"},
      {"no closing head", "<img src=a.png>", "https://other/x/y?q=1", "<img src=a.png>",
       "<base href=\"https://other/x/y\"><img src=a.png>"},
      {"own absolute base", "<head><base href=\"http://cdn/\"></head>", "http://h/docs/",
       "<head><base href=\"http://cdn/\"></head>", "<head><base href=\"http://cdn/\"></head>"},
      {"own relative base", "<head><meta charset=utf-8><base href=\"../v2/\"></head>", "http://h/docs/a/",
       "<head><meta charset=utf-8><base href=\"http://h/docs/v2/\"><base href=\"../v2/\"></head>",
       "<head><meta charset=utf-8><base href=\"http://h/docs/v2/\"><base href=\"../v2/\"></head>"},
      {"own base in the body", "<head></head><body><base href=\"x/\">", "http://h/docs/",
       "<head><base href=\"http://h/docs/x/\"></head><body><base href=\"x/\">",
       "<head><base href=\"http://h/docs/x/\"></head><body><base href=\"x/\">"},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(k.Name);
    Composer c;
    c.Capture("http://h/docs", "text/html", k.Page);
    c.Capture("http://h/docs/a.png", "image/png", Png);
    const test::TParsedArchive archive =
        ParseArchive(c.Compose({"http://h/docs", "http://h/docs/a.png"}, {k.Found, ""}));
    ASSERT_EQ(archive.Parts.size(), 3u);
    EXPECT_EQ(archive.Parts[0].Header("Content-Location"), k.Found);
    EXPECT_EQ(Base64Decode(archive.Parts[0].Body), k.Main);
    EXPECT_EQ(archive.Parts[1].Header("Content-Location"), "http://h/docs/a.png");
    EXPECT_EQ(archive.Parts[2].Header("Content-Location"), "http://h/docs");
    EXPECT_EQ(archive.Parts[2].Header("Content-Type"), "text/html");
    EXPECT_EQ(Base64Decode(archive.Parts[2].Body), k.Copy);
  }
}

TEST(WebArchive, OnlyAnotherWebAddressWithBytesMakesADocumentFoundElsewhere) {
  struct Case {
    const char* Asked;
    const char* Found;
    bool Captured;
    const char* Location;  // of the first part
    size_t Parts;
  } cases[] = {
      {"http://h/p", "http://h/p", true, "http://h/p", 1},
      {"http://h/p", "", true, "http://h/p", 1},
      {"http://h/p", "HTTP://H:80/p", true, "http://h/p", 1},   // the same address to a browser
      {"http://h/p#s", "http://h/p", true, "http://h/p#s", 1},  // a section of the page asked for
      {"http://h/p#s", "http://h/q", true, "http://h/q", 2},
      {"http://h/p", "about:blank", true, "http://h/p", 1},  // no web address
      {"http://h/p", "B", true, "http://h/p", 1},
      {"http://h/p", "http://h/q", false, "http://h/p", 1},  // nothing to show where it was found
  };
  // Found where another entry has bytes of its own: fetched there again, so
  // the entry's bytes are the redirect's own and the page is the other's,
  // written in the navigation's place and where it was asked for only.
  {
    Composer c;
    c.Capture("http://h/p", "text/plain", "Moved permanently");
    c.Capture("http://h/empty", "", "");
    c.Capture("http://h/q", "text/html", "<head></head>");
    c.Capture("http://h/q.png", "image/png", Png);
    const test::TParsedArchive archive =
        ParseArchive(c.Compose({"http://h/p", "http://h/q.png", "http://h/q"}, {"http://h/q", "", "http://h/q"}));
    ASSERT_EQ(archive.Parts.size(), 3u);
    EXPECT_EQ(archive.Parts[0].Header("Content-Location"), "http://h/q");
    EXPECT_EQ(Base64Decode(archive.Parts[0].Body), "<head><base href=\"http://h/q\">\r\n</head>");
    EXPECT_EQ(archive.Parts[1].Header("Content-Location"), "http://h/q.png");
    EXPECT_EQ(archive.Parts[2].Header("Content-Location"), "http://h/p");
    EXPECT_EQ(Base64Decode(archive.Parts[2].Body), "<head><base href=\"http://h/q\"></head>");
    // A redirect with no body of its own alike.
    const test::TParsedArchive empty = ParseArchive(c.Compose({"http://h/empty", "http://h/q"}, {"http://h/q", ""}));
    ASSERT_EQ(empty.Parts.size(), 2u);
    EXPECT_EQ(empty.Parts[0].Header("Content-Location"), "http://h/q");
    EXPECT_EQ(empty.Parts[1].Header("Content-Location"), "http://h/empty");
  }
  for (const Case& k : cases) {
    Composer c;
    if (k.Captured) c.Capture(k.Asked, "text/html", "<head></head>");
    const test::TParsedArchive archive = ParseArchive(c.Compose({k.Asked}, {k.Found}));
    ASSERT_EQ(archive.Parts.size(), k.Parts) << k.Asked << " " << k.Found;
    EXPECT_EQ(archive.Parts[0].Header("Content-Location"), k.Location) << k.Found;
    if (k.Parts == 2) {
      EXPECT_EQ(archive.Parts[1].Header("Content-Location"), k.Asked);
    }
  }
}

TEST(WebArchive, PagesWithTheirOwnBaseKeepItAndAliasesCoverBothAddresses) {
  Composer c;
  const std::string own = "<head><base href=\"http://cdn/\"></head>";
  c.Capture("http://h/own", "text/html", own);
  EXPECT_EQ(Base64Decode(c.OnlyPart("http://h/own", "http://h/own").Body), own);
  // A relative one is resolved in front of it: readers of archives resolve none.
  c.Capture("http://h/d/rel", "text/html", "<head><base href=\"../x/\"></head>");
  EXPECT_EQ(Base64Decode(c.OnlyPart("http://h/d/rel", "http://h/d/rel").Body),
            "<head><base href=\"http://h/x/\"><base href=\"../x/\"></head>");
  // In front of it also where it comes before the leading <meta> tags.
  c.Capture("http://h/d/first", "text/html", "<head><base href=\"../x/\"><meta charset=utf-8></head>");
  EXPECT_EQ(Base64Decode(c.OnlyPart("http://h/d/first", "http://h/d/first").Body),
            "<head><base href=\"http://h/x/\"><base href=\"../x/\"><meta charset=utf-8></head>");
  // Both addresses of a found document resolve in their encoded forms too.
  c.Capture("http://h/a_b", "text/html", "<head></head>");
  const test::TParsedArchive archive = ParseArchive(c.Compose({"http://h/a_b"}, {"http://h/c_d/"}));
  std::vector<std::string> locations;
  for (const test::TArchivePart& part : archive.Parts) locations.push_back(part.Header("Content-Location"));
  EXPECT_EQ(locations,
            (std::vector<std::string>{"http://h/c_d/", "http://h/a_b", "http://h/a%5Fb", "http://h/c%5Fd/"}));
}

TEST(WebArchive, AliasPartsOnlyWhereNoPartWithBytesStands) {
  Composer c;
  c.Capture("http://h/a b.png", "image/png", "A");
  c.Capture("http://h/plain.png", "image/png", "B");
  c.Capture("http://h/caf\xE9.css", "text/css", "C");
  c.Capture("http://h/[x].png", "image/png", "D");
  c.Capture("http://h/%5Bx%5D.png", "image/png", "E");
  c.Capture("http://h/a_b.png", "image/png", "F");
  const std::string archive = c.Compose({"http://h/a b.png", "http://h/plain.png", "http://h/caf\xE9.css",
                                         "http://h/[x].png", "http://h/%5Bx%5D.png", "http://h/a_b.png"});
  const test::TParsedArchive parsed = ParseArchive(archive);
  // "a%20b.png" is where the browser files "a b.png" as well, and
  // "%5Bx%5D.png" has bytes of its own: empty aliases there would hide them.
  // "%255Bx%255D.png", the Latin-1 escape and "a%5Fb.png" stand apart.
  ASSERT_EQ(parsed.Parts.size(), 9u);
  EXPECT_EQ(parsed.Parts[0].Header("Content-Location"), "http://h/a b.png");
  EXPECT_EQ(parsed.Parts[2].Header("Content-Location"), "http://h/caf\xE9.css");
  EXPECT_EQ(Base64Decode(parsed.Parts[4].Body), "E");
  EXPECT_EQ(parsed.Parts[6].Headers, std::vector<std::string>{"Content-Location: http://h/caf%E9.css"});
  EXPECT_EQ(parsed.Parts[6].Body, "");
  EXPECT_EQ(parsed.Parts[7].Headers, std::vector<std::string>{"Content-Location: http://h/%255Bx%255D.png"});
  EXPECT_EQ(parsed.Parts[8].Headers, std::vector<std::string>{"Content-Location: http://h/a%5Fb.png"});
  EXPECT_NE(archive.find("\r\n\r\n--" + Boundary + "\r\nContent-Location: http://h/caf%E9.css\r\n\r\n\r\n--" +
                         Boundary + "\r\n"),
            std::string::npos);
}

// An empty part (alias, anchor placeholder, entry with no bytes) where the
// browser files a part with bytes hides them; where the model is not sure of
// either address, the empty part is left out.
TEST(WebArchive, NoEmptyPartWhereTheBrowserMayFindBytes) {
  const struct {
    const char* Content;               // has bytes
    const char* Empty;                 // listed after it, no bytes; "" for none
    std::vector<std::string> Written;  // the empty parts written (aliases too)
  } cases[] = {
      {"http://my_host.example.com/a.png", "", {}},  // the alias escapes "_", the browser decodes it in a host
      {"http://h/img/a|b.png", "", {}},
      {"http://h/a^b.png", "", {}},
      {"http://h/wiki/Caf\xC3\xA9.png", "", {}},
      {"http://h/a.png?name=caf\xC3\xA9", "", {}},
      {"http://h/a.png#caf\xC3\xA9", "", {}},
      {"http://b\xC3\xBC"
       "cher.de/a.png",
       "",
       {}},
      {"http://[::1]:8080/a b.png", "", {}},
      {"http://127.0.0.1/a.png", "http://0x7f.1/a.png", {}},
      {"http://127.0.0.1/a.png", "http://2130706433/a.png", {}},
      {"http://example.com/a.png", "http://ex%61mple.com/a.png", {}},
      {"http://example.com/", "http://@example.com/", {}},
      {"http://h/a%7Cb.png", "http://h/a|b.png", {"http://h/a%257Cb.png"}},
      {"http://b\xC3\xBC"
       "cher.de/a.png",
       "http://xn--bcher-kva.de/a.png",
       {}},  // unsure of the content
      {"http://b\xC3\xBC"
       "cher.de/a.png",
       "http://h/a.png",
       {}},  // its host is not known
      {"http://h/a.png",
       "http://b\xC3\xBC"
       "cher.de/b.png",
       {}},  // unsure of the empty part
      {"http://h/a.png", "cid:a.png", {}},
      // Sure and apart: written, so that this spelling resolves too.
      {"http://h/a.png", "http://h/a%2Epng", {"http://h/a%2Epng", "http://h/a%252Epng"}},
      {"http://h/a.png", "http://h/a.png#top", {"http://h/a.png#top"}},
      {"http://h/a.png", "http://g/a.png", {"http://g/a.png"}},
      {"http://b\xC3\xBC"
       "cher.de/a.png",
       "http://h/b.png",
       {"http://h/b.png"}},
  };
  for (const auto& c : cases) {
    Composer composer;
    composer.Capture(c.Content, "image/png", "P");
    std::vector<std::string> urls{c.Content};
    if (*c.Empty) urls.emplace_back(c.Empty);
    const test::TParsedArchive parsed = ParseArchive(composer.Compose(urls));
    std::vector<std::string> empty;
    for (const test::TArchivePart& part : parsed.Parts)
      if (Base64Decode(part.Body).empty()) empty.push_back(part.Header("Content-Location"));
    EXPECT_EQ(Base64Decode(parsed.Parts[0].Body), "P") << c.Content;
    EXPECT_EQ(empty, c.Written) << c.Content;
  }
}

TEST(WebArchive, NoAliasThatRepeatsTheWrittenLocation) {
  Composer c;
  // Only a control byte to escape: the header text already is the encoded form.
  c.Capture("http://h/tab\there.png", "image/png", "T");
  // A control byte and a blank: the alias reads otherwise, but a web address
  // parser files it where the part itself stands.
  c.Capture("http://h/tab\tand blank.png", "image/png", "U");
  // Never captured: an empty part, kept apart from the one with bytes.
  const test::TParsedArchive parsed =
      ParseArchive(c.Compose({"http://h/tab\there.png", "http://h/tab\tand blank.png", "http://h/tab%09here.png",
                              "http://h/tab%09and%20blank.png", "http://h/tab%09and%20blank.png#a"}));
  ASSERT_EQ(parsed.Parts.size(), 4u);
  EXPECT_EQ(parsed.Parts[0].Header("Content-Location"), "http://h/tab%09here.png");
  EXPECT_EQ(Base64Decode(parsed.Parts[0].Body), "T");
  EXPECT_EQ(parsed.Parts[1].Header("Content-Location"), "http://h/tab%09and blank.png");
  EXPECT_EQ(parsed.Parts[2].Headers, std::vector<std::string>{"Content-Location: http://h/tab%09and%20blank.png#a"});
  EXPECT_EQ(parsed.Parts[3].Headers,
            std::vector<std::string>{"Content-Location: http://h/tab%2509and%2520blank.png#a"});
}

TEST(WebArchive, EntriesDifferingInHostCaseShareARecordInPathCaseNot) {
  Composer c;
  c.Capture("http://H/Img.PNG", "image/png", "pixels");
  c.Capture("http://H/img.png", "image/png", "other");
  const test::TParsedArchive parsed =
      ParseArchive(c.Compose({"http://H/Img.PNG", "HTTP://h/Img.PNG", "http://H/img.png"}));
  ASSERT_EQ(parsed.Parts.size(), 3u);
  for (size_t i = 0; i < 2; ++i) {
    EXPECT_EQ(parsed.Parts[i].Header("Content-Location"), "http://H/Img.PNG");
    EXPECT_EQ(Base64Decode(parsed.Parts[i].Body), "pixels");
  }
  EXPECT_EQ(parsed.Parts[2].Header("Content-Location"), "http://H/img.png");
  EXPECT_EQ(Base64Decode(parsed.Parts[2].Body), "other");
  EXPECT_EQ(c.Store.Count(), 2);
}

TEST(WebArchive, ACacheFileLargerThanTheCaptureIsAnotherResource) {
  Composer c;
  c.Files.Files["C:\\cache\\b.png"] = "a file longer than the capture";
  c.Capture("http://h/1", "image/png", "captured", "C:\\cache\\b.png");
  const test::TParsedArchive parsed = ParseArchive(c.Compose({"http://h/1"}));
  ASSERT_EQ(parsed.Parts.size(), 1u);
  EXPECT_EQ(Base64Decode(parsed.Parts[0].Body), "captured");
}

// Cache files as the reader finds them: one whose size cannot be told (0 is
// reported, as when the size query fails) still has its bytes, so the save
// does not refuse the page as not captured; a folder under a cache file's
// name is no file, and the captured bytes stand.
TEST(WebArchive, ACacheFileOfUnknownSizeHasItsBytesAndAFolderIsNoCacheFile) {
  Composer c;
  c.Files.Files["C:\\cache\\page.htm"] = Page;
  c.Files.SizeUnknown.push_back("C:\\cache\\page.htm");
  c.Capture("http://h/page", "text/html", "", "C:\\cache\\page.htm");
  EXPECT_TRUE(PartHasBytes(c.Store, "http://h/page", c.Env));
  const test::TParsedArchive parsed = ParseArchive(c.Compose({"http://h/page"}));
  ASSERT_GE(parsed.Parts.size(), 1u);
  EXPECT_EQ(Base64Decode(parsed.Parts[0].Body), InjectBaseTag(Page, "http://h/page"));

  const std::filesystem::path folder =
      std::filesystem::temp_directory_path() / ("tarvik-cache-folder-" + std::to_string(std::random_device()()));
  ASSERT_TRUE(std::filesystem::create_directory(folder));
  TStdFileSource files;
  EXPECT_EQ(files.OpenIfExists(folder.string()), nullptr);
  c.Env.Files = &files;
  c.Capture("http://h/img.png", "image/png", "captured", folder.string());
  const test::TParsedArchive withFolder = ParseArchive(c.Compose({"http://h/img.png"}));
  std::filesystem::remove(folder);
  ASSERT_GE(withFolder.Parts.size(), 1u);
  EXPECT_EQ(Base64Decode(withFolder.Parts[0].Body), "captured");
}

TEST(WebArchive, CacheFileWinsOverMemoryUnlessItIsAnotherResourceAndEmptyGivesPlainText) {
  Composer c;
  c.Files.Files["C:\\cache\\a.png"] = "from file";
  c.Files.Files["C:\\cache\\empty.png"] = "";
  c.Capture("http://h/1", "image/png", "in memory", "C:\\cache\\a.png");
  c.Capture("http://h/2", "image/png", "from memory", "C:\\cache\\missing.png");
  c.Capture("http://h/3", "image/png", "from memory", "C:\\cache\\empty.png");
  c.Capture("http://h/4", "image/png", "", "C:\\cache\\missing.png");
  c.Capture("http://h/5", "", "", "C:\\cache\\a.png");  // type sniffed from the file name
  c.Capture("http://h/6", "", "x", "C:\\cache\\page.htm");
  // The cache gave a.png's name to another resource since: its size differs.
  c.Capture("http://h/7", "image/png", "the bytes read", "C:\\cache\\a.png");
  const test::TParsedArchive parsed =
      ParseArchive(c.Compose({"http://h/1", "http://h/2", "http://h/3", "http://h/4", "http://h/5", "http://h/6",
                              "http://h/never", "http://h/7"}));
  ASSERT_EQ(parsed.Parts.size(), 8u);
  EXPECT_EQ(Base64Decode(parsed.Parts[7].Body), "the bytes read");
  EXPECT_EQ(Base64Decode(parsed.Parts[0].Body), "from file");
  EXPECT_EQ(Base64Decode(parsed.Parts[1].Body), "from memory");
  EXPECT_EQ(Base64Decode(parsed.Parts[2].Body), "from memory");
  for (int i : {3, 6}) {
    EXPECT_EQ(parsed.Parts[i].Header("Content-Type"), "text/plain");
    EXPECT_EQ(parsed.Parts[i].Header("Content-Transfer-Encoding"), "base64");
    EXPECT_EQ(parsed.Parts[i].Body, "\r\n");  // an empty body line
  }
  EXPECT_EQ(parsed.Parts[4].Header("Content-Type"), "image/png");
  EXPECT_EQ(Base64Decode(parsed.Parts[4].Body), "from file");
  EXPECT_EQ(parsed.Parts[5].Header("Content-Type"), "text/html");
}

TEST(WebArchive, UnreadableCacheFileStopsWithTheErrorAndKeepsWhatWasWritten) {
  Composer c;
  c.Files.Unreadable = {"C:\\cache\\locked.png"};
  c.Capture("http://h/ok", "text/plain", "fine");
  c.Capture("http://h/locked", "image/png", "memory", "C:\\cache\\locked.png");
  TMemoryOutputStream out;
  const TURLStringList urls("http://h/ok", {"http://h/ok", "http://h/locked", "http://h/ok"}, {});
  try {
    WriteWebArchive(urls, c.Store, out, "", c.Env);
    FAIL() << "no error";
  } catch (const TFileError& error) {
    EXPECT_EQ(error.Path(), "C:\\cache\\locked.png");
    EXPECT_NE(std::string(error.what()).find("C:\\cache\\locked.png"), std::string::npos);
  }
  const std::string& written = out.Data();
  EXPECT_EQ(written.substr(written.size() - Boundary.size() - 4), "--" + Boundary + "\r\n");
  EXPECT_NE(written.find("Content-Location: http://h/ok\r\n"), std::string::npos);
  EXPECT_NE(written.find(Base64Encode("fine")), std::string::npos);

  // A read that fails half-way through a streamed file.
  Composer d;
  d.Env.ChunkSize = 6;
  d.Files.Files["f.bin"] = "0123456789abcdef";
  d.Files.FailAfter["f.bin"] = 12;
  d.Capture("http://h/f", "application/octet-stream", "", "f.bin");
  TMemoryOutputStream out2;
  EXPECT_THROW(WriteWebArchive(TURLStringList("", {"http://h/f"}, {}), d.Store, out2, "", d.Env), TFileError);
  EXPECT_NE(out2.Data().find("Content-Transfer-Encoding: base64\r\n\r\n" + Base64Encode("012345")), std::string::npos);
}

TEST(WebArchive, StreamedCacheFilesEncodeExactlyAsAWhole) {
  std::mt19937 random(99);
  for (size_t chunk : {1u, 3u, 5u, 6u, 30u, 3u * 64 * 1024}) {
    for (size_t length : {1u, 2u, 3u, 4u, 5u, 6u, 7u, 29u, 30u, 31u, 100u, 200003u}) {
      std::string data(length, '\0');
      for (char& ch : data) ch = static_cast<char>(random());
      Composer c;
      c.Env.ChunkSize = chunk;
      c.Files.Files["f.bin"] = data;
      c.Capture("http://h/f", "application/octet-stream", "", "f.bin");
      const test::TArchivePart part = c.OnlyPart("http://h/f");
      ASSERT_EQ(part.Body, Base64Encode(data) + "\r\n") << "chunk " << chunk << " length " << length;
      // An HTML cache file is read whole and still encodes the same.
      c.Files.Files["p.htm"] = data + "</head>" + data;
      c.Capture("http://h/p", "text/html", "", "p.htm");
      ASSERT_EQ(Base64Decode(c.OnlyPart("http://h/p", "B").Body), data + "<base href=\"B\">\r\n</head>" + data);
    }
  }
}

TEST(WebArchive, LineBreaksNeverReachHeaderValues) {
  Composer c;
  const std::string evil = "http://h/p.html#x\r\nContent-Type: text/html\r\n\r\n--" + Boundary + "\r\nX: y\x01\t";
  const std::string archive = c.Compose({evil, "http://h/next"}, {}, "Title\r\nX-Injected: 1\n--" + Boundary);
  const test::TParsedArchive parsed = ParseArchive(archive);
  EXPECT_EQ(parsed.Header("Subject"), "Title%0D%0AX-Injected: 1%0A--" + Boundary);
  EXPECT_EQ(parsed.Header("X-Injected"), "");
  ASSERT_EQ(parsed.Parts.size(), 3u);  // two content parts and the alias of the first
  EXPECT_EQ(parsed.Parts[0].Headers,
            std::vector<std::string>{"Content-Location: http://h/p.html#x%0D%0AContent-Type: text/html%0D%0A%0D%0A--" +
                                     Boundary + "%0D%0AX: y%01%09"});
  EXPECT_EQ(parsed.Parts[1].Header("Content-Location"), "http://h/next");
  EXPECT_EQ(parsed.Parts[2].Headers, std::vector<std::string>{"Content-Location: " + PercentEncode(evil)});
}

TEST(WebArchive, BadInputKeepsTheArchiveWellFormed) {
  Composer c;
  // A megabyte URL, a URL of every byte value, and content that holds the boundary.
  const std::string longUrl = "http://h/" + std::string(1 << 20, 'a') + " b";
  std::string everyByte = "http://h/";
  for (int b = 0; b < 256; ++b) everyByte += static_cast<char>(b);
  std::string noAnchor = everyByte;
  noAnchor.erase(noAnchor.find('#'), 1);
  const std::string tricky = "--" + Boundary + "\r\n\r\n--" + Boundary + "--\r\n";
  c.Capture(longUrl, "image/gif", "L");
  c.Capture(everyByte, "text/plain", "");  // holds "#" and no bytes: a placeholder
  c.Capture(noAnchor, "text/plain", std::string("\0zero\0", 6));
  c.Capture("http://h/t", "text/html", tricky + "</head>" + tricky);
  const test::TParsedArchive parsed =
      ParseArchive(c.Compose({longUrl, everyByte, noAnchor, "http://h/t"}, {"", "", "", "http://h/t"}));
  ASSERT_EQ(parsed.Parts.size(), 6u);
  EXPECT_TRUE(parsed.Parts[0].Header("Content-Location") == longUrl);
  EXPECT_EQ(Base64Decode(parsed.Parts[0].Body), "L");
  EXPECT_EQ(parsed.Parts[1].Headers, std::vector<std::string>{"Content-Location: " + HeaderValueText(everyByte)});
  EXPECT_EQ(parsed.Parts[2].Header("Content-Location"), HeaderValueText(noAnchor));
  EXPECT_EQ(Base64Decode(parsed.Parts[2].Body), std::string("\0zero\0", 6));
  EXPECT_EQ(Base64Decode(parsed.Parts[3].Body), tricky + "<base href=\"http://h/t\">\r\n</head>" + tricky);
  // The long URL's alias is where its blank is filed: left out.
  EXPECT_EQ(parsed.Parts[4].Header("Content-Location"), PercentEncode(everyByte));
  EXPECT_EQ(parsed.Parts[5].Header("Content-Location"), PercentEncode(noAnchor));

  // No URLs at all: the header block and the closing delimiter.
  EXPECT_EQ(c.Compose({}).substr(c.Compose({}).find("X-Unsent: 1\r\n")), "X-Unsent: 1\r\n\r\n--" + Boundary + "--\r\n");
}

// 64 KiB addresses of escapes: the host's decode and meet what they spell,
// the path's stay as written.
TEST(WebArchive, AddressesOfThousandsOfEscapes) {
  Composer c;
  std::string escapes;
  for (int i = 0; i < 65536 / 3; ++i) escapes += "%5F";
  const std::string underscores(escapes.size() / 3, '_');
  c.Capture("http://" + escapes + "/a.png", "image/png", "H");
  c.Capture("http://h/" + escapes, "image/png", "P");
  const test::TParsedArchive parsed =
      ParseArchive(c.Compose({"http://" + escapes + "/a.png", "http://h/" + escapes, "http://" + underscores + "/a.png",
                              "http://h/" + underscores}));
  ASSERT_EQ(parsed.Parts.size(), 4u);
  EXPECT_EQ(Base64Decode(parsed.Parts[0].Body), "H");
  EXPECT_EQ(Base64Decode(parsed.Parts[1].Body), "P");
  EXPECT_EQ(parsed.Parts[2].Header("Content-Location"), "http://h/" + underscores);
  EXPECT_EQ(Base64Decode(parsed.Parts[2].Body), "");
  EXPECT_EQ(parsed.Parts[3].Headers,
            std::vector<std::string>{"Content-Location: " + PercentEncode("http://h/" + escapes)});
}

TEST(WebArchive, CompositeTypesAreWrittenAsTheBytesSniff) {
  Composer c;
  c.Capture("http://h/feed", "multipart/x-mixed-replace; boundary=frame", "--frame\r\n\r\nx");
  c.Capture("http://h/pic", "message/rfc822", Png);
  c.Env.SniffContentType = ContentTypeFromExtension;
  c.Capture("http://h/old.mht", "", "MIME-Version: 1.0\r\n", "old.mht");  // its name sniffs as message/rfc822
  const test::TParsedArchive parsed = ParseArchive(c.Compose({"http://h/feed", "http://h/pic", "http://h/old.mht"}));
  ASSERT_EQ(parsed.Parts.size(), 3u);
  EXPECT_EQ(parsed.Parts[0].Header("Content-Type"), "application/octet-stream");
  EXPECT_EQ(Base64Decode(parsed.Parts[0].Body), "--frame\r\n\r\nx");
  EXPECT_EQ(parsed.Parts[1].Header("Content-Type"), "image/png");
  EXPECT_EQ(parsed.Parts[2].Header("Content-Type"), "application/octet-stream");
}

// The addresses under which the browser files parts, as its own parser
// writes them (archive_reader_address_differential holds the model to it on
// thousands more); nullptr where the model must not be sure.
TEST(CanonicalWebAddress, TheBrowsersFormOrNone) {
  const struct {
    const char* Location;
    const char* Canonical;
  } cases[] = {
      // Escapes in the host are decoded, in the path, query and fragment never.
      {"http://my%5Fhost.Example.COM/a.png", "http://my_host.example.com/a.png"},
      {"http://ex%61mple.com/a%5Fb%41.png?%41#%41", "http://example.com/a%5Fb%41.png?%41#%41"},
      // What each component escapes.
      {"http://h/img/a|b^c{d}`e f\"<>'.png", "http://h/img/a%7Cb%5Ec%7Bd%7D%60e%20f%22%3C%3E'.png"},
      {"http://h/p?a|b^`' \x7F#a|b^`' \x01x", "http://h/p?a|b^`%27%20%7F#a|b^%60'%20%01x"},
      {"http://h/%zz%4%", "http://h/%zz%4%"},
      // Valid UTF-8 as it is, anything else as Latin-1.
      {"http://h/wiki/Caf\xC3\xA9.png?name=caf\xC3\xA9#caf\xC3\xA9",
       "http://h/wiki/Caf%C3%A9.png?name=caf%C3%A9#caf%C3%A9"},
      {"http://h/caf\xE9?\xC3\xA9", "http://h/caf%C3%A9?%C3%83%C2%A9"},
      // IPv4 in every numeric form, IPv6, ports, userinfo.
      {"http://0x7f.1/", "http://127.0.0.1/"},
      {"http://2130706433/", "http://127.0.0.1/"},
      {"http://0177.0.0.1./", "http://127.0.0.1/"},
      {"http://127.1:0080/", "http://127.0.0.1/"},
      {"http://1.2.3.a/", "http://1.2.3.a/"},
      {"http://[::1]:8080/", "http://[::1]:8080/"},
      {"http://[0:0:1:0:0:1:0:0]/", "http://[::1:0:0:1:0:0]/"},
      {"http://[::FFFF:1.2.3.4]/", "http://[::ffff:102:304]/"},
      {"http://@example.com/", "http://example.com/"},
      {"http://:@example.com/", "http://example.com/"},
      {"http://a@b:@h/", "http://a%40b@h/"},
      // Slashes, dot segments (escaped too), blanks and controls.
      {"HTTP:\\\\H\\x\\%2e%2E\\.\\b", "http://h/b"},
      {"http://h/a/.%2e", "http://h/"},
      {"http://h/a%2e/..%2f", "http://h/a%2e/..%2f"},
      {" \x01http://h/a\tb\nc \x00", "http://h/abc"},
      {"http:h", "http://h/"},
      {"ftp://H:21/x", "ftp://h/x"},
      // Invalid for the browser, or not modelled: no answer.
      {"http://b\xC3\xBC"
       "cher.de/a.png",
       nullptr},
      {"http://xn--bcher-kva.de/", nullptr},
      {"http://h*/", nullptr},
      {"http://h%25/", nullptr},
      {"http://a.1/", nullptr},
      {"http://09/", nullptr},
      {"http://0.0.0.256/", nullptr},
      {"http://h:65536/", nullptr},
      {"http://[1::2::3]/", nullptr},
      {"http:///", nullptr},
      {"cid:x y", nullptr},
      {"page.html", nullptr},
  };
  for (const auto& c : cases) {
    const std::optional<std::string> canonical = CanonicalWebAddress(c.Location);
    if (c.Canonical)
      EXPECT_EQ(canonical.value_or("(none)"), c.Canonical) << c.Location;
    else
      EXPECT_FALSE(canonical) << c.Location << " -> " << *canonical;
  }
  // What an address the model is not sure of shares with every spelling of it.
  EXPECT_EQ(ReadAddress("http://b\xC3\xBC"
                        "cher.de/a b.png")
                .Tail,
            ReadAddress("http://x/a%20b.png").Tail);
  EXPECT_NE(ReadAddress("http://b\xC3\xBC"
                        "cher.de/a b.png")
                .Tail,
            ReadAddress("https://x/a%20b.png").Tail);
  EXPECT_EQ(ReadAddress("cid:x").Tail, "");
}

// Addresses of megabytes in every component: one pass each, no blow-up.
TEST(CanonicalWebAddress, HugeAddressesInLinearTime) {
  std::string escapes;
  for (int i = 0; i < (1 << 20); ++i) escapes += "%61";
  std::string dots;
  for (int i = 0; i < (1 << 20); ++i) dots += "/a/%2E.";
  EXPECT_EQ(CanonicalWebAddress("http://" + escapes + "/").value_or(""), "http://" + std::string(1 << 20, 'a') + "/");
  EXPECT_EQ(CanonicalWebAddress("http://h" + dots + "?" + escapes).value_or(""), "http://h/?" + escapes);
  EXPECT_FALSE(CanonicalWebAddress("http://[" + std::string(1 << 22, ':') + "]/"));
  EXPECT_FALSE(CanonicalWebAddress("http://" + std::string(1 << 22, '1') + "/"));
}

TEST(URLStringList, ShortOrEmptyBaseEntriesGiveTheDefault) {
  const TURLStringList list("http://default/", {"u0", "u1", "u2", "u3"}, {"b0", "", "b2"});
  EXPECT_EQ(list.Count(), 4);
  EXPECT_EQ(list.URL(3), "u3");
  EXPECT_EQ(list.Base(0), "b0");
  EXPECT_EQ(list.Base(1), "http://default/");
  EXPECT_EQ(list.Base(2), "b2");
  EXPECT_EQ(list.Base(3), "http://default/");
  EXPECT_EQ(TURLStringList("", {}, {"extra"}).Count(), 0);
}

TEST(WebArchive, ArchiveIdAndBoundaryText) {
  const uint8_t guid[16] = {0x78, 0x56, 0x34, 0x12, 0xBC, 0x9A, 0xF0, 0xDE,
                            0x01, 0x23, 0x45, 0x67, 0x89, 0xAB, 0xCD, 0xEF};
  EXPECT_EQ(FormatArchiveID(guid), "{12345678-9ABC-DEF0-0123-456789ABCDEF}");
  EXPECT_EQ(ArchiveBoundary("2.0", "{X}"), "--Tarvik-Express-2.0-{X}");
}

#ifndef _WIN32
TEST(NativeArchiveEnvironment, RealIdentityAndClock) {
  const TArchiveEnvironment env = NativeArchiveEnvironment("9.9");
  const std::string a = env.NewArchiveID(), b = env.NewArchiveID();
  EXPECT_NE(a, b);
  ASSERT_EQ(a.size(), 38u);
  for (size_t i = 0; i < a.size(); ++i) {
    const char ch = a[i];
    if (i == 0)
      EXPECT_EQ(ch, '{');
    else if (i == 37)
      EXPECT_EQ(ch, '}');
    else if (i == 9 || i == 14 || i == 19 || i == 24)
      EXPECT_EQ(ch, '-');
    else
      EXPECT_TRUE((ch >= '0' && ch <= '9') || (ch >= 'A' && ch <= 'F')) << a;
  }
  const TLocalDateTime now = env.Now();
  EXPECT_GE(now.Year, 2024);
  EXPECT_FALSE(ArchiveDateText(now, env).empty());
  EXPECT_EQ(SniffContentType(""), "text/plain");
  EXPECT_EQ(SniffContentType("/x/y.gif"), "image/gif");
  EXPECT_EQ(SniffContentType("/x/y.nothing"), "text/plain");
}
#endif

// ---------------------------------------------------------------- spilled bytes

// Every record's bytes moved to a temporary file of their own area, in
// pieces of piece bytes; lengths and everything else stay.
std::shared_ptr<TSpillArea> SpillAll(TTarvikDataBuffer& store, size_t piece,
                                     std::unique_ptr<TSpillFile> (*open)(const std::string&,
                                                                         std::string&) noexcept = nullptr) {
  TSpillArea::TOptions options;
  options.Budget = 0;
  options.OpenFile = open;
  auto area = std::make_shared<TSpillArea>(options);
  for (int32_t i = 0; i < store.Count(); ++i) {
    TURLContent& record = *store.Items(i);
    const TURLContent::Snapshot old = record.Read();
    if (old.Content->empty()) continue;
    std::string bytes = old.Content->Text();
    std::vector<TSpillExtent> extents;
    for (size_t at = 0; at < bytes.size(); at += piece) {
      std::string part = bytes.substr(at, piece);
      EXPECT_TRUE(area->Write(part.data(), part.size(), extents.emplace_back()));
    }
    record.SetContent(std::make_shared<const TCapturedBytes>(area, std::move(extents)), old.ReadLength);
  }
  return area;
}

// A page labelled HTML is composed a chunk at a time like any other part,
// from the temporary file and from a cache file alike: a server may label a
// body of any size HTML, and the browser's address space is small.
std::atomic<size_t> LargestSpillRead{0};
std::unique_ptr<TSpillFile> CountingSpillFile(const std::string& folder, std::string& error) noexcept {
  struct TCounting final : TSpillFile {
    std::unique_ptr<TSpillFile> Inner;
    bool WriteAt(uint64_t offset, const void* data, size_t size) noexcept override {
      return Inner->WriteAt(offset, data, size);
    }
    bool ReadAt(uint64_t offset, void* data, size_t size) noexcept override {
      LargestSpillRead = std::max(LargestSpillRead.load(), size);
      return Inner->ReadAt(offset, data, size);
    }
    std::string Path() const override { return Inner->Path(); }
  };
  std::unique_ptr<TSpillFile> inner = OpenSpillFile(folder, error);
  if (!inner) return nullptr;
  auto counting = std::make_unique<TCounting>();
  counting->Inner = std::move(inner);
  return counting;
}

// A cache file that tells when its end was read, and an output that counts
// what was written before that.
struct TWatchedFile final : TFileSource, TOutputStream {
  std::string Page, Written;
  bool AtEnd = false;
  size_t WrittenBeforeEnd = 0;
  std::unique_ptr<TFileReader> OpenIfExists(const std::string&) override {
    struct TReader final : TFileReader {
      TWatchedFile& File;
      size_t At = 0;
      explicit TReader(TWatchedFile& file) : File(file) {}
      size_t Read(char* buffer, size_t size) override {
        const size_t n = std::min(size, File.Page.size() - At);
        std::memcpy(buffer, File.Page.data() + At, n);
        At += n;
        File.AtEnd = File.AtEnd || n == 0;
        return n;
      }
      uint64_t SizeHint() override { return File.Page.size(); }
    };
    return std::make_unique<TReader>(*this);
  }
  void Write(const char* data, size_t size) override {
    Written.append(data, size);
    if (!AtEnd) WrittenBeforeEnd += size;
  }
};

TEST(WebArchive, APageLabelledHtmlIsComposedAChunkAtATime) {
  const std::string page = "<html><head><title>x</title>" + std::string(1 << 20, 'p') + "</HEAD><body>" +
                           std::string(1 << 20, 'b') + "</head>";
  const std::string expected = InjectBaseTag(page, "http://h/");
  {
    Composer c;
    c.Env.ChunkSize = 3 * 1024;
    c.Capture("http://h/big.html", "text/html", page);
    const auto area = SpillAll(c.Store, 1 << 16, CountingSpillFile);
    LargestSpillRead = 0;
    const test::TParsedArchive parsed = ParseArchive(c.Compose({"http://h/big.html"}, {"http://h/"}));
    ASSERT_GE(parsed.Parts.size(), 1u);
    EXPECT_EQ(Base64Decode(parsed.Parts[0].Body), expected);
    EXPECT_LE(LargestSpillRead.load(), c.Env.ChunkSize);
  }
  {
    Composer c;
    TWatchedFile file;
    file.Page = page;
    c.Env.ChunkSize = 3 * 1024;
    c.Env.Files = &file;
    c.Capture("http://h/big.html", "text/html", "", "C:\\cache\\big.html");
    WriteWebArchive(TURLStringList("http://h/big.html", {"http://h/big.html"}, {"http://h/"}), c.Store, file, "",
                    c.Env);
    const test::TParsedArchive parsed = ParseArchive(file.Written);
    ASSERT_GE(parsed.Parts.size(), 1u);
    EXPECT_EQ(Base64Decode(parsed.Parts[0].Body), expected);
    EXPECT_GT(file.WrittenBeforeEnd, page.size());
  }
}

// A "</head>" split anywhere between two pieces, in any letter case, gets its
// tag as in the whole page; near misses and an unfinished one at the end stay.
TEST(BaseTagInjector, PiecesOfEverySizeGiveTheWholePagesResult) {
  for (const std::string page : {"<html><head></head><body></body>", "<</HEAD><</hea</head></he", "</head",
                                 "a</hE</hEaD>b</head>", "</head></head></head>x</"}) {
    // The whole page's result, found independently: each "</head>" in any case.
    std::string lower = page, expected;
    for (char& ch : lower) ch = static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
    for (size_t at = 0;;) {
      const size_t found = lower.find("</head>", at);
      expected += page.substr(at, found == std::string::npos ? std::string::npos : found - at);
      if (found == std::string::npos) break;
      expected += "<base href=\"http://b/\">\r\n</head>";
      at = found + 7;
    }
    for (size_t piece = 1; piece <= page.size(); ++piece) {
      std::string out;
      TBaseTagInjector injector("http://b/?q", [&out](std::string_view text) { out.append(text); });
      for (size_t at = 0; at < page.size(); at += piece) injector.Write(std::string_view(page).substr(at, piece));
      injector.Finish();
      EXPECT_EQ(out, expected) << page << " in pieces of " << piece;
    }
  }
}

// The same captures make the same archive, byte for byte, whether their bytes
// are in memory or in the temporary file: types, base tags, the cache file
// rule (sizes compared), empty bodies and every chunk size.
TEST(WebArchive, SpilledBytesMakeTheSameArchiveAsBytesInMemory) {
  std::mt19937 random(7);
  std::string big(200003, '\0');
  for (char& ch : big) ch = static_cast<char>(random());
  for (size_t chunk : {3u, 5u, 3u * 64 * 1024}) {
    for (size_t piece : {5u, 4096u, 1u << 16}) {
      Composer c;
      c.Env.ChunkSize = chunk;
      c.Files.Files["C:\\cache\\a.png"] = "from file";
      c.Capture("http://h/index.html", "text/html", Page + "<HEAD></Head>" + big.substr(0, 5000));
      c.Capture("http://h/logo.png", "image/png", Png);
      c.Capture("http://h/big.bin", "application/octet-stream", big);
      c.Capture("http://h/cached", "image/png", "in memory", "C:\\cache\\a.png");
      c.Capture("http://h/other", "image/png", "the bytes read", "C:\\cache\\a.png");
      c.Capture("http://h/empty", "image/png", "");
      c.Capture("http://h/untyped", "", "x", "C:\\cache\\page.htm");
      // The page was found at "http://h/": a copy at its own address follows the parts.
      // A composite type: the type comes from the first bytes, and a page found there gets its base tag.
      c.Capture("http://h/mixed", "multipart/mixed", "<html><head></head>" + big.substr(0, 3000));
      c.Capture("http://h/page#part", "text/html", "<html><head></head>section</html>");
      // A cache file of unknown size that gives nothing: the captured bytes, all of them.
      c.Files.Files["C:\\cache\\gone.bin"] = "";
      c.Files.SizeUnknown.push_back("C:\\cache\\gone.bin");
      c.Capture("http://h/gone", "application/octet-stream", big.substr(0, 9000), "C:\\cache\\gone.bin");
      const std::vector<std::string> urls = {"http://h/index.html", "http://h/logo.png", "http://h/big.bin",
                                             "http://h/cached",     "http://h/other",    "http://h/empty",
                                             "http://h/untyped",    "http://h/never",    "http://h/mixed",
                                             "http://h/page#part",  "http://h/gone"};
      const std::string inMemory = c.Compose(urls, {"http://h/"}, "T");
      if (piece == 5 && chunk == 3) {
        ASSERT_EQ(ParseArchive(inMemory).Parts.size(), urls.size() + 1);
      }
      const auto area = SpillAll(c.Store, piece);
      ASSERT_TRUE(c.Store.GetURLContent("http://h/big.bin")->Content()->Spilled());
      EXPECT_TRUE(c.Compose(urls, {"http://h/"}, "T") == inMemory) << "chunk " << chunk << " piece " << piece;
    }
  }
}

// Bytes the temporary file no longer gives back stop the archive like an
// unreadable cache file does.
std::unique_ptr<TSpillFile> Unreadable(const std::string&, std::string&) noexcept {
  struct TUnreadable final : TSpillFile {
    bool WriteAt(uint64_t, const void*, size_t) noexcept override { return true; }
    bool ReadAt(uint64_t, void*, size_t) noexcept override { return false; }
    std::string Path() const override { return "unreadable"; }
  };
  return std::make_unique<TUnreadable>();
}

TEST(WebArchive, SpilledBytesThatCannotBeReadStopTheArchive) {
  for (const char* type : {"image/png", "text/html"}) {
    Composer c;
    c.Capture("http://h/x", type, "some bytes");
    const auto area = SpillAll(c.Store, 4, Unreadable);
    TMemoryOutputStream out;
    EXPECT_THROW(WriteWebArchive(TURLStringList("", {"http://h/x"}, {}), c.Store, out, "", c.Env), TFileError) << type;
  }
}

}  // namespace
}  // namespace tarvik
