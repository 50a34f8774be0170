// The host's reading of pages and style sheets, on malformed input
// as browsers meet it.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "HtmlScanner.h"

namespace tarvik::host {
namespace {

using ::testing::ElementsAre;
using ::testing::Field;

std::vector<std::wstring> Urls(const THtmlPage& page, THtmlResourceRef::TKind kind) {
  std::vector<std::wstring> urls;
  for (const THtmlResourceRef& resource : page.Resources)
    if (resource.Kind == kind) urls.push_back(resource.Url);
  return urls;
}

TEST(HtmlScanner, MalformedMarkupIsReadAsBrowsersReadIt) {
  const THtmlPage page = ScanHtmlPage(
      L"<!DOCTYPE html><HTML><HEAD><TITLE>  A &amp; B\n  &lt;C&gt; </TITLE>"
      L"<!-- <img src=commented.png> -->"
      L"<script>var s = '<img src=\"in-script.png\">'; if (a < b) {}</script >"
      L"<img SRC=plain.png alt=x><img src = 'single.png'><IMG src=\"dup.png\" src=\"second.png\">"
      L"<img src=\"unterminated.png>"
      L"</body>");
  EXPECT_EQ(page.Title, L"A & B <C>");
  // Markup inside comments and scripts is no markup; the first of two
  // attributes wins; a value left open runs to the end.
  EXPECT_THAT(Urls(page, THtmlResourceRef::TKind::Image),
              ElementsAre(L"plain.png", L"single.png", L"dup.png", L"unterminated.png></body>"));
}

TEST(HtmlScanner, StrayLessThanSignsAndUnclosedTagsStayText) {
  const THtmlPage page = ScanHtmlPage(L"<p>1 < 2 and 3 <= 4 <3 <</p><b>bold<i>both</b> end <a href=x.html");
  EXPECT_EQ(page.Text, L"1 < 2 and 3 <= 4 <3 < bold both end");
  // A tag cut off by the end of the page still counts.
  ASSERT_EQ(page.Links.size(), 1u);
  EXPECT_EQ(page.Links[0].Href, L"x.html");
}

TEST(HtmlScanner, ClosingTagsOfRawTextNeedTheWholeName) {
  THtmlScanner scanner(L"<style>a{}</styles><img src=a></style><p>after");
  THtmlToken token;
  ASSERT_TRUE(scanner.Next(token));
  EXPECT_EQ(token.Name, L"style");
  ASSERT_TRUE(scanner.Next(token));
  EXPECT_EQ(token.Kind, THtmlToken::TKind::Text);
  EXPECT_EQ(token.Text, L"a{}</styles><img src=a>");
  ASSERT_TRUE(scanner.Next(token));
  EXPECT_EQ(token.Kind, THtmlToken::TKind::EndTag);
  ASSERT_TRUE(scanner.Next(token));
  EXPECT_EQ(token.Name, L"p");
}

TEST(HtmlScanner, FindsWhatTheBrowserFetchesAndAnswers) {
  const THtmlPage page = ScanHtmlPage(
      L"<base href=\"http://other.example/dir/\"><base href=\"ignored/\">"
      L"<link rel=\"Alternate  StyleSheet\" href=\" alt.css \"><link rel=icon href=icon.ico>"
      L"<link rel=stylesheet href=main.css><script src=app.js></script><script>inline()</script>"
      L"<body background=bg.gif style=\"background:url(inline.png)\"><style>p{x:url(s.png)}</style>"
      L"<input type=IMAGE src=button.png><input type=text src=no.png>"
      L"<frameset><frame src=left.html><frame src=\"  \"></frameset><iframe src=inner.html></iframe>"
      L"<a name=top></a><a name=both href=#></a><a href=\"page.html#\">p</a>"
      L"<map><area href=\"#\"><area nohref></map><a>plain</a>");
  EXPECT_EQ(page.BaseHref, L"http://other.example/dir/");
  EXPECT_THAT(Urls(page, THtmlResourceRef::TKind::StyleSheet), ElementsAre(L"alt.css", L"main.css"));
  EXPECT_THAT(Urls(page, THtmlResourceRef::TKind::Script), ElementsAre(L"app.js"));
  EXPECT_THAT(Urls(page, THtmlResourceRef::TKind::Image), ElementsAre(L"bg.gif", L"button.png"));
  EXPECT_THAT(page.InlineStyles, ElementsAre(L"background:url(inline.png)", L"p{x:url(s.png)}"));
  EXPECT_THAT(page.Frames, ElementsAre(L"left.html", L"inner.html"));
  EXPECT_THAT(page.Anchors, ElementsAre(Field(&THtmlElementRef::Name, L"top"), Field(&THtmlElementRef::Name, L"both")));
  EXPECT_FALSE(page.Anchors[0].HasHref);
  ASSERT_EQ(page.Links.size(), 3u);
  EXPECT_EQ(page.Links[0].Href, L"#");
  EXPECT_EQ(page.Links[1].Href, L"page.html#");
  EXPECT_TRUE(page.Links[2].IsArea);
}

TEST(HtmlScanner, CharacterReferences) {
  EXPECT_EQ(DecodeEntities(L"&#65;&#x42;&#X43;&#x1F600;&#0;&#xD800;&#99999999;"),
            std::wstring(L"ABC\xD83D\xDE00\xFFFD\xFFFD\xFFFD"));
  // Unknown names and query strings stay as written; legacy names work without ";".
  EXPECT_EQ(DecodeEntities(L"a=1&copy=2&b&unknown;&amp &nbsp;x&"), std::wstring(L"a=1&copy=2&b&unknown;& \xA0x&"));
  EXPECT_EQ(DecodeEntities(L"&eacute;t&eacute; &#"), std::wstring(L"\xE9t\xE9 &#"));
  EXPECT_EQ(CollapseWhiteSpace(L" \t a \r\n\n b  "), L"a b");
}

TEST(HtmlScanner, StyleSheetReferences) {
  const std::vector<TCssReference> references = ScanCss(
      L"@import \"first.css\";\n@IMPORT url( 'second.css' ) screen;\n"
      L"/* url(commented.png) @import \"no.css\"; */ body{background:URL(a.png)}"
      L"p{background-image:url(\"b c.png\")} q{x:myurl(no.png)} r{x:url()} s{x:url(unterminated.png");
  ASSERT_EQ(references.size(), 5u);
  EXPECT_EQ(references[0].Url, L"first.css");
  EXPECT_TRUE(references[0].Import);
  EXPECT_EQ(references[1].Url, L"second.css");
  EXPECT_TRUE(references[1].Import);
  EXPECT_EQ(references[2].Url, L"a.png");
  EXPECT_FALSE(references[2].Import);
  EXPECT_EQ(references[3].Url, L"b c.png");
  EXPECT_EQ(references[4].Url, L"unterminated.png");
}

}  // namespace
}  // namespace tarvik::host
