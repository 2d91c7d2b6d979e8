#include <gtest/gtest.h>

#include <limits>

#include "support/TestSupport.h"
#include "text/CharacterReferences.h"
#include "text/RunError.h"
#include "text/TextHelpers.h"

namespace {

const QString kNbsp = QString(QChar(0x00A0));

TEST(ExtractBetweenTest, EmptyMarkersOpenAtStartOrRunToEnd) {
    EXPECT_EQ(ExtractBetween("abc;def", "", "", ";"), "abc");
    EXPECT_EQ(ExtractBetween("?a=1&b=2", "b=", "", ""), "2");
    EXPECT_EQ(ExtractBetween("whole text", "", "", ""), "whole text");
}

TEST(ExtractBetweenTest, MissingOrMisplacedMarkersGiveEmpty) {
    EXPECT_EQ(ExtractBetween("<b>x</b>", "<i>", "", "</b>"), "");
    // The end marker only before the start marker.
    EXPECT_EQ(ExtractBetween("] then [value", "[", "", "]"), "");
    // The end marker right behind the start marker.
    EXPECT_EQ(ExtractBetween("a[]b", "[", "", "]"), "");
    // The second marker only before the start marker.
    EXPECT_EQ(ExtractBetween("td start x", "start", "td", ""), "");
}

TEST(ExtractBetweenTest, SecondMarkerSkipsAheadBehindTheWholeStart) {
    const QString row = "<td>Цена</td><td class=\"v\">100</td><td class=\"v\">200</td>";
    EXPECT_EQ(ExtractBetween(row, "Цена", "class=\"v\">", "<"), "100");
    // The start marker's own text is not searched for the second one: "aa" behind "xaa".
    EXPECT_EQ(ExtractBetween("xaa|aa-end", "xaa", "aa", "-"), "");
    EXPECT_EQ(ExtractBetween("xaa|aa-end|", "xaa", "aa", "|"), "-end");
    // The end is searched from behind the second marker, not the start marker.
    EXPECT_EQ(ExtractBetween("S<x>M value<", "S", "M", "<"), " value");
}

TEST(LastPosWithinTest, LimitAndOverlap) {
    EXPECT_EQ(LastPosWithin("aa", "aaa", 100), 2);
    EXPECT_EQ(LastPosWithin("ab", "abab", 3), 1);  // the second one ends at 4
    EXPECT_EQ(LastPosWithin("ab", "abab", 1), 0);
    EXPECT_EQ(LastPosWithin("ab", "abab", -3), 0);
    EXPECT_EQ(LastPosWithin("", "abab", 4), 0);
    EXPECT_EQ(LastPosWithin("abc", "ab", 10), 0);
}

TEST(ExtractBetweenBackwardTest, LastAnchorAndLastLeftMarkerBeforeIt) {
    EXPECT_EQ(ExtractBetweenBackward("[a] [b] [c] END", "]", "", "["), "c");
    EXPECT_EQ(ExtractBetweenBackward("<x <y value END", "END", "", "<"), "y value ");
    // Second anchor: its last occurrence before the last anchor.
    EXPECT_EQ(ExtractBetweenBackward("<1 M <2 M <3 A M", "A", "M", "<"), "2 ");
    // Left marker only after the anchor; empty anchor or left marker.
    EXPECT_EQ(ExtractBetweenBackward("ANCHOR <left", "ANCHOR", "", "<"), "");
    EXPECT_EQ(ExtractBetweenBackward("<a b", "", "", "<"), "");
    EXPECT_EQ(ExtractBetweenBackward("<a b", "b", "", ""), "");
    EXPECT_EQ(ExtractBetweenBackward("<a M b", "b", "Z", "<"), "");
}

TEST(ExtractBetweenBackwardTest, ReadsTheValueOfANamedInput) {
    const QString page =
        "<form><input type=\"text\" value=\"01.01.2024\" name=\"contractDateFrom\" />"
        "<input class=\"d\" value=\"31.01.2024\" name=\"contractDateTo\" /></form>";
    const QString from = ExtractBetweenBackward(page, "name=\"contractDateFrom\"", "", "<input ");
    EXPECT_EQ(ExtractBetween(from, "value=\"", "", "\""), "01.01.2024");
    const QString to = ExtractBetweenBackward(page, "name=\"contractDateTo\"", "", "<input ");
    EXPECT_EQ(to, "class=\"d\" value=\"31.01.2024\" ");
    EXPECT_EQ(ExtractBetween(to, "value=\"", "", "\""), "31.01.2024");
}

TEST(HtmlToTextTest, EntitiesLineBreaksAndTags) {
    EXPECT_EQ(HtmlToText("&nbsp;"), " ");
    EXPECT_EQ(HtmlToText("один<br>два"), "один два");
    EXPECT_EQ(HtmlToText("&laquo;ООО&raquo; &mdash; &#039;x&#039; 2&times;3 &bull;&ndash;"),
              "\"ООО\" - 'x' 2x3 --");
    EXPECT_EQ(HtmlToText("<td class=\"a\">\r\n  Цена <b>100</b>\n</td>"), "  Цена 100");
    EXPECT_EQ(HtmlToText("a<!-- note -->b"), "ab");
    // Not trimmed, runs of spaces kept.
    EXPECT_EQ(HtmlToText("&nbsp; x<br><br>"), "  x  ");
}

TEST(HtmlToTextTest, ConsequencesOfTheReplacementOrder) {
    // A decoded "<" starts a tag like a real one.
    EXPECT_EQ(HtmlToText("1 &lt; 2 and 3 &gt; 2"), "1  2");
    EXPECT_EQ(HtmlToText("a &lt; b"), "a ");
    // An unclosed "<" takes the rest of the text.
    EXPECT_EQ(HtmlToText("before<div class"), "before");
    // Capital and self-closing breaks are plain tags: removed without a space.
    EXPECT_EQ(HtmlToText("a<BR>b<br/>c<br />d"), "abcd");
    // Entities outside the table stay.
    EXPECT_EQ(HtmlToText("A &amp; B &#34;"), "A &amp; B &#34;");
    // "&quot;" is not the tag opener; a real "<" after it still is.
    EXPECT_EQ(HtmlToText("&quot;x&quot;<i>y</i>"), "\"x\"y");
}

TEST(CharacterReferencesTest, DecodesEveryFormOnceAndKeepsWhatNamesNoCharacter) {
    EXPECT_EQ(DecodeCharacterReferences("&#034;&#34;&#x22;&#X22;&quot; &#0000039;&apos; &eacute;"
                                        "&Eacute;&hellip;&#8381;&#x1f600;"),
              "\"\"\"\"\" '' éÉ…₽\U0001F600");
    // The readable table keeps the plain characters rows have shown before.
    EXPECT_EQ(DecodeCharacterReferences("&nbsp;&bull;&mdash;&ndash;&times;&laquo;&raquo;&#160;"),
              " ---x\"\"" + kNbsp);
    EXPECT_EQ(DecodeCharacterReferences("&amp;lt;"), "&lt;");  // one pass
    // Unknown names, a missing ";", no digits, surrogates, values past U+10FFFF and control
    // characters stay as written.
    const QString kept = QStringLiteral(
        "&nosuch; &EACUTE; &thetasymx; &quot &#34 &#; &#x; &#xg; & &; &#xD800; &#56320; "
        "&#x110000; &#99999999999999999999; &#0; &#7; &#10; &#x7F; &#x80; &#x9F; &#159;");
    EXPECT_EQ(DecodeCharacterReferences(kept), kept);
}

TEST(ReplaceAllTest, SinglePassWithoutRescanning) {
    EXPECT_EQ(ReplaceAll("    ", "  ", " "), "  ");
    EXPECT_EQ(ReplaceAll("   ", "  ", " "), "  ");
    EXPECT_EQ(ReplaceAll("aXbXc", "X", "XX"), "aXXbXXc");
    EXPECT_EQ(ReplaceAll("a%2Cb%2cc", "%2C", ","), "a,b%2cc");
    EXPECT_EQ(ReplaceAll("abc", "", "x"), "abc");
    EXPECT_EQ(ReplaceAll("a-b-", "-", ""), "ab");
}

TEST(ReplaceAllTest, LargeTextWithManyOccurrences) {
    // Half a million replacements; a quadratic pass would not finish in the test's time.
    const QString text = QString("ab").repeated(500000);
    const QString result = ReplaceAll(text, "a", "");
    EXPECT_EQ(result, QString("b").repeated(500000));
}

TEST(ParseIntLenientTest, CountsWithWordsAndGroupedDigits) {
    EXPECT_EQ(ParseIntLenient("Найдено 1 000 записей"), 1000);
    EXPECT_EQ(ParseIntLenient("Найдено 12" + kNbsp + "345" + kNbsp + "678 записей"), 12345678);
    EXPECT_EQ(ParseIntLenient("  более 400"), 400);
    EXPECT_EQ(ParseIntLenient("(1 234)"), 1234);
}

TEST(ParseIntLenientTest, SignsAndFractions) {
    EXPECT_EQ(ParseIntLenient(""), 0);
    EXPECT_EQ(ParseIntLenient("нет записей"), 0);
    EXPECT_EQ(ParseIntLenient("-5"), -5);
    EXPECT_EQ(ParseIntLenient("--5"), 5);
    EXPECT_EQ(ParseIntLenient("( -5)"), -5);
    // A minus after the first other character is dropped, not read as a sign.
    EXPECT_EQ(ParseIntLenient("x-5"), 5);
    EXPECT_EQ(ParseIntLenient("12,7"), 12);
    EXPECT_EQ(ParseIntLenient("-12,7"), -12);
    EXPECT_EQ(ParseIntLenient(",5"), 0);
    EXPECT_EQ(ParseIntLenient("7,"), 7);
    // The point is not the decimal separator here: it is dropped like a letter.
    EXPECT_EQ(ParseIntLenient("12.7"), 127);
}

TEST(ParseIntLenientTest, SeparatorsReadTheOtherWayRound) {
    // Several commas: they are group separators.
    EXPECT_EQ(ParseIntLenient("1,234,567"), 1234567);
    // A comma before the first no-break space: the no-break space is the decimal part.
    EXPECT_EQ(ParseIntLenient("1,234" + kNbsp + "9"), 1234);
    // A no-break space first: it becomes the decimal separator.
    EXPECT_EQ(ParseIntLenient(kNbsp + "5"), 0);
    // ...and the comma a group separator.
    EXPECT_EQ(ParseIntLenient(kNbsp + "5,3"), 0);
    EXPECT_EQ(ParseIntLenient("1,2" + kNbsp + "3"), 12);
}

TEST(ParseIntLenientTest, TextThatIsStillNotANumberThrows) {
    EXPECT_THROW(ParseIntLenient(kNbsp + "1" + kNbsp + "000"), RunError);
    EXPECT_THROW(ParseIntLenient(",1,2"), RunError);
    try {
        ParseIntLenient(kNbsp + "1" + kNbsp + "2");
        FAIL() << "no error";
    } catch (const RunError& e) {
        EXPECT_FALSE(e.message().isEmpty());
    }
}

TEST(ParseIntLenientTest, NumbersBeyondTheIntegerRangeThrowInsteadOfWrapping) {
    EXPECT_EQ(ParseIntLenient("2147483647"), 2147483647);
    EXPECT_EQ(ParseIntLenient("-2147483648"), std::numeric_limits<qint32>::min());
    EXPECT_THROW(ParseIntLenient("2147483648"), RunError);
    EXPECT_THROW(ParseIntLenient("4 294 967 297"), RunError);
    EXPECT_THROW(ParseIntLenient("99999999999999999999999999"), RunError);
}

TEST(UrlEncodeUtf8Test, OnlyLettersAndDigitsStay) {
    EXPECT_EQ(UrlEncodeUtf8("Abc 19z"), "Abc%2019z");
    EXPECT_EQ(UrlEncodeUtf8("-._~"), "%2D%2E%5F%7E");
    EXPECT_EQ(UrlEncodeUtf8("Я"), "%D0%AF");
    EXPECT_EQ(UrlEncodeUtf8("a\nb&c=%"), "a%0Ab%26c%3D%25");
}

TEST(TrimControlsTest, RemovesSpacesAndControlsAtBothEnds) {
    EXPECT_EQ(TrimControls("\t\r\n  a b \x01"), "a b");
    EXPECT_EQ(TrimControls(kNbsp + "a"), kNbsp + "a");
    EXPECT_EQ(TrimControls(" \t "), "");
}

}  // namespace
