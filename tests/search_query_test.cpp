// Search URLs: parameter removal, the date-window key, the rewrite of the start URL, the
// splitting of a search into narrower ones, and the reading of a search page's links and bar.
#include <gtest/gtest.h>

#include "portal/SearchPage.h"
#include "portal/SearchQuery.h"
#include "run/RecordedRunReport.h"
#include "run/SearchPages.h"
#include "support/TestSupport.h"
#include "text/RunError.h"

namespace {

const QString kSearch = QStringLiteral("https://p.test/epz/contract/search/results.html");

TEST(RemoveUrlParamTest, RemovesOneParameterAndKeepsTheQueryShape) {
    const QString url = kSearch + "?a=1&b=2&c=3";
    EXPECT_EQ(RemoveUrlParam(url, "b"), kSearch + "?a=1&c=3");
    EXPECT_EQ(RemoveUrlParam(url, "c"), kSearch + "?a=1&b=2");
    // The first parameter goes with the "&" of the next one, so the query still opens with "?".
    EXPECT_EQ(RemoveUrlParam(url, "a"), kSearch + "?b=2&c=3");
    EXPECT_EQ(RemoveUrlParam(kSearch + "?a=1", "a"), kSearch + "?");
    EXPECT_EQ(RemoveUrlParam(RemoveUrlParam(url, "a") + "&a=9", "a"), kSearch + "?b=2&c=3");
    // Only whole names, and only the first occurrence.
    EXPECT_EQ(RemoveUrlParam(url, "x"), url);
    EXPECT_EQ(RemoveUrlParam(kSearch + "?xa=1&a=2", "a"), kSearch + "?xa=1");
    EXPECT_EQ(RemoveUrlParam(kSearch + "?p=1&a=2&a=3", "a"), kSearch + "?p=1&a=3");
    EXPECT_EQ(RemoveUrlParam(kSearch + "?p=1&a=&q=2", "a"), kSearch + "?p=1&q=2");
}

TEST(RemoveUrlParamTest, ValueIsTheOneThatWouldBeRemoved) {
    EXPECT_EQ(UrlParamValue(kSearch + "?a=1&b=2", "a"), "1");
    EXPECT_EQ(UrlParamValue(kSearch + "?a=1&b=2", "b"), "2");
    EXPECT_EQ(UrlParamValue(kSearch + "?a=1&b=", "b"), "");
    EXPECT_EQ(UrlParamValue(kSearch + "?a=1", "b"), "");
    EXPECT_EQ(UrlParamValue(kSearch + "?ab=1&b=7", "b"), "7");
}

TEST(IntervalKeyTest, DateWindowOfTheUrl) {
    EXPECT_EQ(IntervalKey(kSearch + "?x=1&contractDateFrom=01.01.2026&contractDateTo=31.01.2026"),
              "contractDateFrom=01.01.2026&contractDateTo=31.01.2026");
    EXPECT_EQ(IntervalKey(kSearch + "?contractDateTo=02.02.2026&y=1&contractDateFrom=01.01.2026&z"),
              "contractDateFrom=01.01.2026&contractDateTo=02.02.2026");
    EXPECT_EQ(IntervalKey(kSearch + "?x=1&contractDateFrom=&contractDateTo="),
              "contractDateFrom=&contractDateTo=");
    // A start date that ends the URL has no "&" behind it and counts as missing.
    EXPECT_EQ(IntervalKey(kSearch + "?contractDateFrom=01.01.2026"),
              "contractDateFrom=&contractDateTo=");
}

TEST(StartSearchUrlTest, DatesReplacedEscapesOpenedPageSizeLast) {
    const QString url = StartSearchUrl(
        kSearch +
            "?contractDateFrom=01.01.2020&morphology=on&publishDateFrom=01.01.2021&list=0%2C1"
            "&hidden=%7B%7D&recordsPerPage=_10&updateDateTo=02.02.2022&pageNumber=1&name=%2c%D0%90"
            "&contractDateTo=05.05.2020&publishDateTo=1&updateDateFrom=2",
        QDate(2025, 3, 1), QDate(2025, 3, 31));
    EXPECT_EQ(url, kSearch +
                       "?morphology=on&list=0,1&hidden={}&pageNumber=1&name=%2c%D0%90"
                       "&contractDateFrom=01.03.2025&contractDateTo=31.03.2025"
                       "&recordsPerPage=_500");
    EXPECT_EQ(StartSearchUrl(kSearch + "?pageNumber=1&x=1", QDate(), QDate()),
              kSearch + "?pageNumber=1&x=1&contractDateFrom=&contractDateTo=&recordsPerPage=_500");
}

TEST(RewriteStartUrlTest, TestExportFixesTheWindowWhateverTheChosenDates) {
    const QString url =
        StartUrlForRun(kSearch + "?pageNumber=1&x=1", QDate(2025, 3, 1), QDate(), true);
    EXPECT_EQ(url, kSearch +
                       "?pageNumber=1&x=1&contractDateFrom=01.01.2026&contractDateTo=01.02.2026"
                       "&recordsPerPage=_500");
}

// --- Splitting ------------------------------------------------------------------------------

const QString kBase = kSearch + "?morphology=on&pageNumber=1&recordsPerPage=_500";
const QDate kToday(2026, 3, 15);

QString Window(const QString& from, const QString& to) {
    return kBase + "&contractDateFrom=" + from + "&contractDateTo=" + to;
}

TEST(SplitSearchTest, DateWindowExampleGivesThreePiecesLatestFirst) {
    EXPECT_EQ(SplitSearch(Window("01.01.2026", "31.01.2026"), 2500, kToday),
              QStringList({Window("23.01.2026", "31.01.2026"), Window("12.01.2026", "22.01.2026"),
                           Window("01.01.2026", "11.01.2026")}));
}

TEST(SplitSearchTest, EveryDateSplitNarrowsIntoAtLeastTwoPieces) {
    // 400 to 999 records would give a single piece, the window itself.
    EXPECT_EQ(
        SplitSearch(Window("01.01.2026", "31.01.2026"), 400, kToday),
        QStringList({Window("17.01.2026", "31.01.2026"), Window("01.01.2026", "16.01.2026")}));
    EXPECT_EQ(
        SplitSearch(Window("01.01.2026", "02.01.2026"), 999, kToday),
        QStringList({Window("02.01.2026", "02.01.2026"), Window("01.01.2026", "01.01.2026")}));
    // Many records over few days: a step of 0 gives one piece per day.
    EXPECT_EQ(SplitSearch(Window("30.12.2025", "01.01.2026"), 50000, kToday),
              QStringList({Window("01.01.2026", "01.01.2026"), Window("31.12.2025", "31.12.2025"),
                           Window("30.12.2025", "30.12.2025")}));
    // Pieces keep the rest of the query and lose the old dates, wherever they stood.
    const QString url = kSearch + "?contractDateFrom=01.01.2026&q=1&contractDateTo=03.01.2026";
    EXPECT_EQ(SplitSearch(url, 500, kToday).last(),
              kSearch + "?q=1&contractDateFrom=01.01.2026&contractDateTo=02.01.2026");
}

TEST(SplitSearchTest, WindowWithoutEndRunsToToday) {
    const QStringList pieces = SplitSearch(Window("13.03.2026", ""), 450, kToday);
    EXPECT_EQ(pieces, QStringList({Window("15.03.2026", "15.03.2026"),
                                   Window("13.03.2026", "14.03.2026")}));
}

TEST(SplitSearchTest, SingleDayIsSplitIntoPriceBandsHighestFirst) {
    const QString day = Window("05.01.2026", "05.01.2026");
    const QStringList bands = SplitSearch(day, 400, kToday);
    ASSERT_EQ(bands.size(), 10);
    EXPECT_EQ(bands.first(), day + "&contractPriceFrom=9000000001&contractPriceTo=10000000000");
    EXPECT_EQ(bands[8], day + "&contractPriceFrom=1000000001&contractPriceTo=2000000000");
    EXPECT_EQ(bands.last(), day + "&contractPriceFrom=0&contractPriceTo=1000000000");

    // A band of its own is narrowed within itself; the old band leaves the URL.
    const QStringList inner =
        SplitSearch(kBase +
                        "&contractPriceFrom=100&contractPriceTo=200&contractDateFrom=05.01.2026"
                        "&contractDateTo=05.01.2026",
                    400, kToday);
    ASSERT_EQ(inner.size(), 10);
    EXPECT_EQ(inner.last(), kBase +
                                "&contractDateFrom=05.01.2026&contractDateTo=05.01.2026"
                                "&contractPriceFrom=100&contractPriceTo=110");
}

TEST(SplitSearchTest, NarrowPriceBandsEndAndUnsplittableSearchesGiveNothing) {
    const QString day = Window("05.01.2026", "05.01.2026");
    // Widths up to 5 give a step of 0: one band per price instead of an endless loop.
    EXPECT_EQ(SplitSearch(day + "&contractPriceFrom=7&contractPriceTo=8", 400, kToday),
              QStringList({day + "&contractPriceFrom=8&contractPriceTo=8",
                           day + "&contractPriceFrom=7&contractPriceTo=7"}));
    EXPECT_EQ(SplitSearch(day + "&contractPriceFrom=10&contractPriceTo=15", 400, kToday).size(), 6);
    // One day and one price, or bands and windows that end before they start.
    EXPECT_TRUE(SplitSearch(day + "&contractPriceFrom=7&contractPriceTo=7", 400, kToday).isEmpty());
    EXPECT_TRUE(SplitSearch(day + "&contractPriceFrom=9&contractPriceTo=7", 400, kToday).isEmpty());
    EXPECT_TRUE(SplitSearch(Window("02.01.2026", "01.01.2026"), 400, kToday).isEmpty());
}

TEST(SplitSearchTest, UnreadableDatesRaise) {
    EXPECT_THROW(SplitSearch(Window("", "31.01.2026"), 400, kToday), RunError);
    EXPECT_THROW(SplitSearch(Window("2026-01-01", "31.01.2026"), 400, kToday), RunError);
}

// --- Search-result pages ------------------------------------------------------------------

TEST(SearchPageTest, CountIsReadOnlyBetweenItsMarkersAndNoResultsWinsOverIt) {
    const QString count =
        "<div class=\"search-results__total\">\r\n более <b>1 000</b> записей</div>";
    const SearchCount found = ReadSearchCount(count);
    EXPECT_EQ(found.state, SearchCount::State::Found);
    EXPECT_EQ(found.text, "более 1 000");
    EXPECT_EQ(found.Number(), 1000);
    EXPECT_EQ(ReadSearchCount(count + "<p>Поиск не дал результатов</p>").state,
              SearchCount::State::NoResults);
    EXPECT_EQ(ReadSearchCount(count + "<p>Увы, Поиск не дал результатов.</p>").state,
              SearchCount::State::Found);
    // The word that ends the count has to follow the marker, not stand before it.
    EXPECT_EQ(ReadSearchCount("1 запись <div class=\"search-results__total\">12</div>").state,
              SearchCount::State::NotFound);
    // A count too large for a number is still read as text; only asking for the number fails.
    const SearchCount odd =
        ReadSearchCount("<div class=\"search-results__total\">99 999 999 999 записей</div>");
    EXPECT_EQ(odd.state, SearchCount::State::Found);
    EXPECT_THROW(odd.Number(), RunError);
}

// --- The page bar ---------------------------------------------------------------------------

TEST(SearchPageTest, MalformedPageBarNeverLeadsBackwards) {
    const QString bar =
        "<ul><li class=\"page\"><a class=\"page__link page__link_active\" "
        "href=\"javascript:goToPage(%1)\">1</a></li><li class=\"page\"><a "
        "href=\"javascript:goToPage(%2)\">x</a></li></ul><img src=\"arrow-prime.svg\" alt=\"\">";
    EXPECT_EQ(NextPageUrl(bar.arg(3).arg(4), 0, kSearch + "?pageNumber=3"),
              kSearch + "?&pageNumber=4");
    EXPECT_EQ(NextPageUrl(bar.arg(3).arg(3), 0, kSearch + "?x=1&pageNumber=3"), "");
    EXPECT_EQ(NextPageUrl(bar.arg(3).arg(""), 0, kSearch + "?x=1&pageNumber=3"), "");
}

}  // namespace
