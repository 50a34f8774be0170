#include "archive/DocumentBase.h"

#include <gtest/gtest.h>

#include <string>

namespace tarvik {
namespace {

TEST(DocumentBase, TheFirstBaseWithAnHrefAsAParserReadsIt) {
  struct Case {
    const char* Page;
    bool Found;
    size_t Start;
    const char* Href;
  } cases[] = {
      {"<head><base href=\"/docs/\"></head>", true, 6, "/docs/"},
      {"<head><BASE target=_top><base HREF='a b/'>", true, 24, "a b/"},
      {"<base href=x/y>", true, 0, "x/y"},
      {"<base\nhref = \"q?a=1&amp;b=2\">", true, 0, "q?a=1&b=2"},
      {"<base href=\"&quot;\"", true, 0, "\""},
      {"<basement href=x><baseline>", false, 0, ""},
      {"<base target=_blank>", false, 0, ""},
      {"<base href=\"unterminated", false, 0, ""},
      {"<p>no base</p>", false, 0, ""},
      {"<body><p></p><base href=late/></body>", true, 13, "late/"},
  };
  for (const Case& k : cases) {
    const TOwnBase own = FindOwnBase(k.Page);
    EXPECT_EQ(own.Found, k.Found) << k.Page;
    if (!k.Found) continue;
    EXPECT_EQ(own.Start, k.Start) << k.Page;
    EXPECT_EQ(own.Href, k.Href) << k.Page;
  }
}

TEST(DocumentBase, AnEarlyTagStandsAfterWhatMayPrecedeItAndBeforeAnyAddress) {
  const std::string npos = "npos";
  struct Case {
    std::string Page;
    std::string Before;  // the page's text before the place, or "npos"
  } cases[] = {
      {"<html><head><link rel=stylesheet href=a.css></head>", "<html><head>"},
      {"\xEF\xBB\xBF<!DOCTYPE html>\n<html lang=en>\n <head>\n<meta charset=utf-8><meta name=x content=y>\n<title>",
       "\xEF\xBB\xBF<!DOCTYPE html>\n<html lang=en>\n <head>\n<meta charset=utf-8><meta name=x content=y>"},
      {"<!-- a > b --><!doctype html><link href=a.css>", "<!-- a > b --><!doctype html>"},
      {"<?xml version=\"1.0\"?><html>", "<?xml version=\"1.0\"?><html>"},
      {"<header><img src=a.png>", ""},
      {"<img src=a.png>", ""},
      {"<!-- never closed <img src=a.png>", ""},
      {"<html", ""},
      {"plain text", ""},
      {std::string("\xFF\xFE<\0h\0", 6), npos},
      {"\xFE\xFF", npos},
  };
  for (const Case& k : cases) {
    const size_t at = EarlyTagPosition(k.Page);
    if (k.Before == npos) {
      EXPECT_EQ(at, std::string::npos) << k.Page;
    } else {
      ASSERT_NE(at, std::string::npos) << k.Page;
      EXPECT_EQ(k.Page.substr(0, at), k.Before) << k.Page;
    }
  }
}

TEST(DocumentBase, ReferencesResolveAsTheWebResolvesThem) {
  struct Case {
    const char* Base;
    const char* Reference;
    const char* Resolved;
  } cases[] = {
      {"http://a/b/c/d;p?q", "g", "http://a/b/c/g"},
      {"http://a/b/c/d;p?q", "./g", "http://a/b/c/g"},
      {"http://a/b/c/d;p?q", "g/", "http://a/b/c/g/"},
      {"http://a/b/c/d;p?q", "/g", "http://a/g"},
      {"http://a/b/c/d;p?q", "//g", "http://g"},
      {"http://a/b/c/d;p?q", "?y", "http://a/b/c/d;p?y"},
      {"http://a/b/c/d;p?q", "#s", "http://a/b/c/d;p?q#s"},
      {"http://a/b/c/d;p?q", "", "http://a/b/c/d;p?q"},
      {"http://a/b/c/d;p?q", ".", "http://a/b/c/"},
      {"http://a/b/c/d;p?q", "..", "http://a/b/"},
      {"http://a/b/c/d;p?q", "../g", "http://a/b/g"},
      {"http://a/b/c/d;p?q", "../../../g", "http://a/g"},
      {"http://a/b/c/d;p?q", "g/../h", "http://a/b/c/h"},
      {"http://a/b/c/d;p?q", "https://x/./y/../z", "https://x/z"},
      {"http://a", "g", "http://a/g"},
      {"https://h:8443/docs/", " sub/\n ", "https://h:8443/docs/sub/"},
  };
  for (const Case& k : cases) EXPECT_EQ(ResolveReference(k.Base, k.Reference), k.Resolved) << k.Reference;
  EXPECT_TRUE(HasScheme("HTTP://x"));
  EXPECT_TRUE(HasScheme("a+b.c-d:"));
  EXPECT_FALSE(HasScheme("/a:b"));
  EXPECT_FALSE(HasScheme("1a:b"));
  EXPECT_FALSE(HasScheme("sub/dir"));
}

}  // namespace
}  // namespace tarvik
