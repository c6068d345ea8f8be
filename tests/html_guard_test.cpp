#include "chat/html_guard.h"

#include <gtest/gtest.h>

namespace tvl {
namespace {

struct GuardCase {
  const char* input;
  const char* expected;
};

// What users type as HTML for looks stays byte for byte.
class KeptAsHtml : public ::testing::TestWithParam<const char*> {};

TEST_P(KeptAsHtml, Unchanged) { EXPECT_EQ(guard_html(GetParam()), GetParam()); }

INSTANTIATE_TEST_SUITE_P(
    Formatting, KeptAsHtml,
    ::testing::Values("plain words", "<b>bold</b> and <i>italic</i>", "<u>x</u><br>",
                      "<font color=#FF0000 size=2>hi</font>",
                      "<strong><font color=#FF0000 size=2>hi</font></strong>",
                      "<img src=/face/2.gif border=0>", "<IMG SRC=\"pic.gif\" ALT='a > b'>",
                      "<table border=1><tr><td>x</td></tr></table>", "a < b and c > d",
                      "1<2", "x &amp; y &lt;tag&gt;", "<span title=\"x\">red</span>",
                      "<font size=7>big</font>", "<img src=/face/1.gif width=400 height=100%>",
                      "<table width=100% border=1 cellpadding=20><tr><td>x</td></tr></table>",
                      "<p title=\"see on page 2\">x</p>", "<marquee>moving</marquee>",
                      "caf\xc3\xa9 \xe2\x82\xac"));

class ShownAsText : public ::testing::TestWithParam<GuardCase> {};

TEST_P(ShownAsText, Escaped) { EXPECT_EQ(guard_html(GetParam().input), GetParam().expected); }

INSTANTIATE_TEST_SUITE_P(
    Attacks, ShownAsText,
    ::testing::Values(
        GuardCase{"<script>alert(1)</script>", "&lt;script&gt;alert(1)&lt;/script&gt;"},
        // A bare "<" and a dropped end tag after it must not make a tag of what follows.
        GuardCase{"<</scri<!----pt>script>", "&lt;script>"},
        GuardCase{"<ScRiPt>alert(1)</sCrIpT>", "&lt;ScRiPt&gt;alert(1)&lt;/sCrIpT&gt;"},
        GuardCase{"<script src=//evil/x.js></script>",
                  "&lt;script src=//evil/x.js&gt;&lt;/script&gt;"},
        GuardCase{"<script/x>a</script >", "&lt;script/x&gt;a&lt;/script &gt;"},
        GuardCase{"<img src=x onerror=alert(1)>", "&lt;img src=x onerror=alert(1)&gt;"},
        GuardCase{"<IMG SRC=x OnErRoR=\"alert('x')\">",
                  "&lt;IMG SRC=x OnErRoR=&quot;alert(&#39;x&#39;)&quot;&gt;"},
        GuardCase{"<img src=x\nonerror=alert(1)>", "&lt;img src=x\nonerror=alert(1)&gt;"},
        GuardCase{"<img src=\"x\"onerror=alert(1)>", "&lt;img src=&quot;x&quot;onerror=alert(1)&gt;"},
        GuardCase{"<img/src=x/onerror=alert(1)//x onload=1>",
                  "&lt;img/src=x/onerror=alert(1)//x onload=1&gt;"},
        GuardCase{"<svg onload=alert(1)>", "&lt;svg onload=alert(1)&gt;"},
        GuardCase{"<svg/onload=alert(1)>", "&lt;svg/onload=alert(1)&gt;"},
        GuardCase{"<body onload=alert(1)>", "&lt;body onload=alert(1)&gt;"},
        GuardCase{"<a href=\"javascript:alert(1)\">x</a>",
                  "&lt;a href=&quot;javascript:alert(1)&quot;&gt;x"},
        GuardCase{"<a href=JaVaScRiPt:alert(1)>x</a>", "&lt;a href=JaVaScRiPt:alert(1)&gt;x"},
        GuardCase{"<a href=\" \tjava\nscript:alert(1)\">x",
                  "&lt;a href=&quot; \tjava\nscript:alert(1)&quot;&gt;x"},
        GuardCase{"<a href=\"&#106;avascript:alert(1)\">",
                  "&lt;a href=&quot;&amp;#106;avascript:alert(1)&quot;&gt;"},
        GuardCase{"<a href=\"&#x6A&#x61vascript&colon;alert(1)\">",
                  "&lt;a href=&quot;&amp;#x6A&amp;#x61vascript&amp;colon;alert(1)&quot;&gt;"},
        GuardCase{"<a href=\"&#0000106&#0000097vascript:x\">",
                  "&lt;a href=&quot;&amp;#0000106&amp;#0000097vascript:x&quot;&gt;"},
        GuardCase{"<a href=\"jav&Tab;ascript:x\">", "&lt;a href=&quot;jav&amp;Tab;ascript:x&quot;&gt;"},
        GuardCase{"<a href='vbscript:msgbox(1)'>", "&lt;a href=&#39;vbscript:msgbox(1)&#39;&gt;"},
        GuardCase{"<a href=\"data:text/html;base64,PHNjcmlwdD4=\">",
                  "&lt;a href=&quot;data:text/html;base64,PHNjcmlwdD4=&quot;&gt;"},
        GuardCase{"<img src=\"DATA:image/svg+xml,x\">", "&lt;img src=&quot;DATA:image/svg+xml,x&quot;&gt;"},
        GuardCase{"<div style=\"background:url(javascript:alert(1))\">",
                  "&lt;div style=&quot;background:url(javascript:alert(1))&quot;&gt;"},
        // A style attribute, however harmless it looks: one can lay a box
        // over every other visitor's messages.
        GuardCase{"<div style=\"position:fixed;top:0;left:0;width:100%;height:100%\">",
                  "&lt;div style=&quot;position:fixed;top:0;left:0;width:100%;height:100%&quot;&gt;"},
        GuardCase{"<span style=\"color:red\">red</span>",
                  "&lt;span style=&quot;color:red&quot;&gt;red"},
        GuardCase{"<b STYLE=x>b</b>", "&lt;b STYLE=x&gt;b"},
        GuardCase{"<i\nstyle='a'>", "&lt;i\nstyle=&#39;a&#39;&gt;"},
        GuardCase{"<iframe src=http://evil></iframe>", "&lt;iframe src=http://evil&gt;&lt;/iframe&gt;"},
        GuardCase{"<style>body{display:none}</style>", "&lt;style&gt;body{display:none}&lt;/style&gt;"},
        GuardCase{"<object data=x.swf>", "&lt;object data=x.swf&gt;"},
        GuardCase{"<embed src=x.swf>", "&lt;embed src=x.swf&gt;"},
        GuardCase{"<form action=http://evil><input name=p></form>",
                  "&lt;form action=http://evil&gt;&lt;input name=p&gt;&lt;/form&gt;"},
        GuardCase{"<input onfocus=alert(1) autofocus>", "&lt;input onfocus=alert(1) autofocus&gt;"},
        GuardCase{"<button formaction=javascript:alert(1)>b",
                  "&lt;button formaction=javascript:alert(1)&gt;b"},
        GuardCase{"<meta http-equiv=refresh content=0;url=http://evil>",
                  "&lt;meta http-equiv=refresh content=0;url=http://evil&gt;"},
        GuardCase{"<base href=http://evil/>", "&lt;base href=http://evil/&gt;"},
        GuardCase{"<math><a xlink:href=javascript:1>", "&lt;math&gt;&lt;a xlink:href=javascript:1&gt;"},
        // A tag the line ends inside of would swallow what follows it.
        GuardCase{"<img src=x alt=\"", "&lt;img src=x alt=&quot;"},
        GuardCase{"<b", "&lt;b"},
        GuardCase{"x<", "x&lt;"},
        // Comments and declarations: only the "<" is written as text.
        GuardCase{"<!--$msg-->", "&lt;!--$msg-->"},
        GuardCase{"<!--><img src=x onerror=alert(1)>-->",
                  "&lt;!-->&lt;img src=x onerror=alert(1)&gt;-->"},
        GuardCase{"<![CDATA[x]]>", "&lt;![CDATA[x]]>"},
        GuardCase{"<?xml x?>", "&lt;?xml x?>"},
        GuardCase{"</ x>", "&lt;/ x>"},
        // Raw-text elements would let a later "</title>" in a value end them.
        GuardCase{"<title><img alt=\"</title><script>alert(1)</script>\">",
                  "&lt;title&gt;<img alt=\"</title><script>alert(1)</script>\">"},
        GuardCase{"<noscript><p title=\"</noscript><img src=x onerror=alert(1)>\">",
                  "&lt;noscript&gt;<p title=\"</noscript><img src=x onerror=alert(1)>\"></p>"},
        GuardCase{"<textarea>", "&lt;textarea&gt;"}, GuardCase{"<xmp>", "&lt;xmp&gt;"}));

// Nothing in a line may leave it: no element over the board (dialog, the
// top layer of popovers and what opens them), none of the parts the server
// writes around a line (told by class and data-name), no name that shadows
// the board document's own, no size beyond a line.
INSTANTIATE_TEST_SUITE_P(
    OutOfLine, ShownAsText,
    ::testing::Values(
        GuardCase{"look <dialog open><table width=1400 height=1400 bgcolor=white>x</table></dialog>",
                  "look &lt;dialog open&gt;&lt;table width=1400 height=1400 bgcolor=white&gt;x"
                  "&lt;/dialog&gt;"},
        GuardCase{"<div popover id=p>x</div><button popovertarget=p>",
                  "&lt;div popover id=p&gt;x&lt;button popovertarget=p&gt;"},
        GuardCase{"<button commandfor=d command=show-modal>go",
                  "&lt;button commandfor=d command=show-modal&gt;go"},
        GuardCase{"<a interestfor=x href=/y>z", "&lt;a interestfor=x href=/y&gt;z"},
        GuardCase{"<span class=\"line\">x</span>", "&lt;span class=&quot;line&quot;&gt;x"},
        GuardCase{"<b CLASS=mark>private</b>", "&lt;b CLASS=mark&gt;private"},
        GuardCase{"<a data-name=admin href=#>admin</a>", "&lt;a data-name=admin href=#&gt;admin"},
        GuardCase{"<img name=body src=/face/1.gif>", "&lt;img name=body src=/face/1.gif&gt;"},
        GuardCase{"<i id=empty>", "&lt;i id=empty&gt;"},
        GuardCase{"<body bgcolor=red>", "&lt;body bgcolor=red&gt;"},
        GuardCase{"<html dir=rtl>", "&lt;html dir=rtl&gt;"},
        GuardCase{"<input autofocus>", "&lt;input autofocus&gt;"},
        GuardCase{"<u accesskey=s>", "&lt;u accesskey=s&gt;"},
        GuardCase{"<img src=/face/1.gif width=2000>", "&lt;img src=/face/1.gif width=2000&gt;"},
        GuardCase{"<table width=\"1400px\">", "&lt;table width=&quot;1400px&quot;&gt;"},
        GuardCase{"<table height=\" &#49;400\">", "&lt;table height=&quot; &amp;#49;400&quot;&gt;"},
        GuardCase{"<div width=101%>", "&lt;div width=101%&gt;"},
        GuardCase{"<hr size=1000>", "&lt;hr size=1000&gt;"},
        GuardCase{"<font size=+9>", "&lt;font size=+9&gt;"},
        GuardCase{"<table border=21 cellspacing=99>", "&lt;table border=21 cellspacing=99&gt;"}));

TEST(HtmlGuard, SafePartsAroundAnAttackStay) {
  EXPECT_EQ(guard_html("<b>hi</b><img src=x onerror=alert(1)><i>there</i>"),
            "<b>hi</b>&lt;img src=x onerror=alert(1)&gt;<i>there</i>");
}

TEST(HtmlGuard, AttributeValuesAreReadAsTheBrowserReadsThem) {
  // Inside a quoted value, "onerror=" is no attribute and ">" no tag end.
  EXPECT_EQ(guard_html("<img src=\"a onerror=b\" alt='x>y'>"),
            "<img src=\"a onerror=b\" alt='x>y'>");
  // An unquoted value runs to the blank: here "onerror" is an attribute.
  EXPECT_EQ(guard_html("<img src=a\"b onerror=c>"), "&lt;img src=a&quot;b onerror=c&gt;");
  // "javascript" spelled out in text or in a harmless value is fine.
  EXPECT_EQ(guard_html("learn javascript: it is fun"), "learn javascript: it is fun");
  EXPECT_EQ(guard_html("<a href=\"/page?x=data\">x</a>"),
            "<a target=_blank rel=\"noopener noreferrer\" href=\"/page?x=data\">x</a>");
}

TEST(HtmlGuard, EndTagsOfSafeElementsIgnoreTheirAttributes) {
  // Browsers drop attributes of end tags; the tag itself is harmless.
  EXPECT_EQ(guard_html("<b>x</b onclick=1>"), "<b>x</b onclick=1>");
}

// Every element a line opens is closed at its end; end tags of elements it
// did not open are dropped, so that no line reaches into the next.
INSTANTIATE_TEST_SUITE_P(
    Balance, ShownAsText,
    ::testing::Values(
        GuardCase{"<b>bold", "<b>bold</b>"},
        GuardCase{"<B><i>x", "<B><i>x</i></b>"},
        GuardCase{"<div><table><tr><td>x", "<div><table><tr><td>x</td></tr></table></div>"},
        GuardCase{"<b><i>x</b> y", "<b><i>x</i></b> y"},
        GuardCase{"</font></div>x", "x"},
        GuardCase{"x</b>", "x"},
        GuardCase{"<b>x</b></b>", "<b>x</b>"},
        GuardCase{"<br><img src=/face/1.gif><hr>x", "<br><img src=/face/1.gif><hr>x"},
        GuardCase{"<a href=/x>link", "<a target=_blank rel=\"noopener noreferrer\" href=\"/x\">link</a>"},
        // "hidden" could hide every later line, like a style.
        GuardCase{"<div hidden>", "&lt;div hidden&gt;"},
        GuardCase{"<p HIDDEN=until-found>x", "&lt;p HIDDEN=until-found&gt;x"}));

// Sources: nothing in a line may point at the chat's own dynamic pages, and
// nothing but a picture (shown as a link by default) at another site.
INSTANTIATE_TEST_SUITE_P(
    Sources, ShownAsText,
    ::testing::Values(
        GuardCase{"<img src=/test.ghp?1>", "&lt;img src=/test.ghp?1&gt;"},
        GuardCase{"<img src=\"BODY.GHP\">", "&lt;img src=&quot;BODY.GHP&quot;&gt;"},
        GuardCase{"<img src=x%2Eghp>", "&lt;img src=x%2Eghp&gt;"},
        GuardCase{"<img src=\"x&#46;ghp\">", "&lt;img src=&quot;x&amp;#46;ghp&quot;&gt;"},
        GuardCase{"<img src=http://host/chat.ghp>", "&lt;img src=http://host/chat.ghp&gt;"},
        GuardCase{"<table background=/users.ghp>", "&lt;table background=/users.ghp&gt;"},
        GuardCase{"<input type=image src=//evil/x>", "&lt;input type=image src=//evil/x&gt;"},
        GuardCase{"<table background=HTTP://evil/x.gif>", "&lt;table background=HTTP://evil/x.gif&gt;"},
        GuardCase{"<img srcset=\"x.gif 1x\">", "&lt;img srcset=&quot;x.gif 1x&quot;&gt;"},
        GuardCase{"<a ping=//evil href=/x>", "&lt;a ping=//evil href=/x&gt;"},
        GuardCase{"<audio src=x.mp3 autoplay>", "&lt;audio src=x.mp3 autoplay&gt;"},
        GuardCase{"<VIDEO poster=p.gif>", "&lt;VIDEO poster=p.gif&gt;"},
        GuardCase{"<picture><source srcset=//e/x>", "&lt;picture&gt;&lt;source srcset=//e/x&gt;"},
        GuardCase{"<bgsound src=x.wav>", "&lt;bgsound src=x.wav&gt;"},
        // Pictures of other sites, however the scheme is spelt.
        GuardCase{"<img src=http://e.org/a/b.gif?x=1>",
                  "<a target=_blank rel=\"noopener noreferrer\" href=\"http://e.org/a/b.gif?x=1\">"
                  "[picture: e.org/a/b.gif]</a>"},
        GuardCase{"<IMG SRC=\"HTTPS://user@E.org/p.png\" alt=x>",
                  "<a target=_blank rel=\"noopener noreferrer\" href=\"HTTPS://user@E.org/p.png\">"
                  "[picture: E.org/p.png]</a>"},
        GuardCase{"<img src=//e.org/p>",
                  "<a target=_blank rel=\"noopener noreferrer\" href=\"//e.org/p\">[picture: e.org/p]</a>"},
        GuardCase{"<img src=\\\\e.org\\p>",
                  "<a target=_blank rel=\"noopener noreferrer\" href=\"\\\\e.org\\p\">[picture: e.org/p]</a>"},
        GuardCase{"<image src=\" ht&#x74;p://e.org/p\">",
                  "<a target=_blank rel=\"noopener noreferrer\" href=\" ht&#x74;p://e.org/p\">"
                  "[picture: e.org/p]</a>"},
        GuardCase{"<img src='ftp://e.org/\"<b>'>",
                  "<a target=_blank rel=\"noopener noreferrer\" href=\"ftp://e.org/&quot;<b>\">"
                  "[picture: e.org/&quot;&lt;b&gt;]</a>"},
        // The chat's own pictures stay as typed.
        GuardCase{"<img src=images/3.gif>", "<img src=images/3.gif>"},
        GuardCase{"<img src=\"/face/1.gif\" title=\"a:b\">", "<img src=\"/face/1.gif\" title=\"a:b\">"}));

// Links open in a new tab that cannot reach the chat's frames.
INSTANTIATE_TEST_SUITE_P(
    Links, ShownAsText,
    ::testing::Values(
        GuardCase{"<a href=\"https://example.com/\">link</a>",
                  "<a target=_blank rel=\"noopener noreferrer\" href=\"https://example.com/\">link</a>"},
        GuardCase{"<a href='mailto:ann@example.com'>mail</a>",
                  "<a target=_blank rel=\"noopener noreferrer\" href=\"mailto:ann@example.com\">mail</a>"},
        GuardCase{"<A HREF=//evil.org TARGET=chatsubmit rel=opener>x</A>",
                  "<a target=_blank rel=\"noopener noreferrer\" href=\"//evil.org\">x</A>"},
        GuardCase{"<area href=/x target=board>", "<area target=_blank rel=\"noopener noreferrer\" href=\"/x\">"},
        GuardCase{"<a href=/x title='say \"hi\"' \"odd=1>x</a>",
                  "<a target=_blank rel=\"noopener noreferrer\" href=\"/x\" title=\"say &quot;hi&quot;\">x</a>"}));

TEST(HtmlGuard, RemotePicturesInlineSendNoReferrer) {
  GuardOptions inline_pictures;
  inline_pictures.remote_pictures = true;
  EXPECT_EQ(guard_html("<img src=HTTP://e.org/p.gif referrerpolicy=unsafe-url border=0>", inline_pictures),
            "<img src=\"HTTP://e.org/p.gif\" border=\"0\" referrerpolicy=\"no-referrer\">");
  // Still no page of the chat, and still no other media.
  EXPECT_EQ(guard_html("<img src=//e.org/x.ghp>", inline_pictures), "&lt;img src=//e.org/x.ghp&gt;");
  EXPECT_EQ(guard_html("<video src=//e.org/v>", inline_pictures), "&lt;video src=//e.org/v&gt;");
  EXPECT_EQ(guard_html("<img src=/face/1.gif>", inline_pictures), "<img src=/face/1.gif>");
}

TEST(HtmlGuard, EmptyText) { EXPECT_EQ(guard_html(""), ""); }

}  // namespace
}  // namespace tvl
