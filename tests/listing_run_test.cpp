// Whole runs of the listing phase against the portal imitation: paging, splitting of large
// searches, and the refusal pages with their filters and the have.txt store.
#include <gtest/gtest.h>

#include <QSet>
#include <QTemporaryDir>
#include <QUuid>
#include <functional>

#include "PortalImitation.h"
#include "PortalReplica.h"
#include "portal/RefusalPage.h"
#include "run/RecheckLedger.h"
#include "run/RecordedRunReport.h"
#include "run/RefusalPages.h"
#include "run/RunDriver.h"
#include "store/HaveStore.h"
#include "support/ListingParts.h"
#include "support/TestSupport.h"

namespace {

using replica::ContractRecord;
using replica::PortalDataSet;
using replica::PortalImitation;

const QString kSplitLine = QStringLiteral(
    "Разбиваем длинный интервал на несколько мелких, с текущей ссылки контракты не "
    "собираем.");
const QString kNarrowFailed =
    QStringLiteral("Поиск не удаётся сузить дальше, контракты собираем с текущей ссылки: ");

QString Id(int n) {
    return QString::number(3770000000000000000LL + n);
}

class ListingRunTest : public ::testing::Test {
protected:
    ListingRunTest() : timing_(ScopedTiming::Scaled(20)) { replica_.setHandler(portal_.handler()); }

    QString base() const { return replica_.url(); }

    // One whole run from `startUrl`; `setUp` sets the driver's options.
    std::unique_ptr<RunDriver> Run(const QString& startUrl,
                                   const std::function<void(RunOptions&)>& setUp = {}) {
        WriteFile(dir_.filePath(QStringLiteral("StartURL.txt")), startUrl.toUtf8());
        RunOptions options = RunOptionsIn(dir_.path());
        if (setUp) {
            setUp(options);
        }
        auto run = std::make_unique<RunDriver>(&view_, std::move(options));
        run->start();
        EXPECT_TRUE(run->wait(180000));
        EXPECT_TRUE(run->Control()->Done());
        return run;
    }

    // The texts of the log lines, without their stamps.
    QStringList Texts() const {
        QStringList texts;
        for (const QString& line : view_.log()) {
            const qsizetype colon = line.indexOf(QStringLiteral(": "));
            texts.append(colon < 0 ? line : line.mid(colon + 2));
        }
        return texts;
    }

    int CountStarting(const QString& prefix) const {
        int count = 0;
        for (const QString& text : Texts()) {
            count += text.startsWith(prefix) ? 1 : 0;
        }
        return count;
    }

    // The request targets for one path, in the order they arrived.
    QStringList Targets(const char* path) const {
        QStringList targets;
        for (const replica::Request& request : replica_.requests()) {
            if (request.path() == path) {
                targets.append(QString::fromUtf8(request.target));
            }
        }
        return targets;
    }

    static void ExpectNoRepeats(const QStringList& targets) {
        EXPECT_EQ(QSet<QString>(targets.begin(), targets.end()).size(), targets.size());
    }

    QString rejectUrl(const ContractRecord& contract) const {
        return base() + PortalImitation::kRejectPath + "?" + contract.rejectQuery;
    }

    QTemporaryDir dir_;
    ScopedTiming timing_;
    PortalImitation portal_;
    replica::PortalReplica replica_;
    RecordedRunReport view_;
};

TEST_F(ListingRunTest, EveryPageOfASearchOnceAndEveryRefusalLinkOnce) {
    PortalDataSet data =
        replica::MakePortalDataSet(1100, QDate(2025, 3, 1), QDate(2025, 3, 31), 11, 1);
    // The first contract of the first page and the last of the last list one refusal page.
    auto latest = std::max_element(data.contracts.begin(), data.contracts.end(),
                                   [](auto& a, auto& b) { return a.concluded < b.concluded; });
    auto earliest = std::min_element(data.contracts.begin(), data.contracts.end(),
                                     [](auto& a, auto& b) { return a.concluded < b.concluded; });
    replica::AddRefusal(*latest, {replica::CustomerRefusal("02.04.2025 10:00")});
    earliest->rejectQuery = latest->rejectQuery;
    earliest->documents.clear();
    QSet<QString> rejectQueries;
    for (const ContractRecord& contract : data.contracts) {
        if (!contract.rejectQuery.isEmpty()) {
            rejectQueries.insert(contract.rejectQuery);
        }
    }
    portal_.setData(data);

    // Without "pageNumber=1&" the search is walked without counting or splitting.
    QString start = PortalImitation::StartUrl(base());
    start.replace(QStringLiteral("pageNumber=1&"), QString());
    auto run = Run(start, [](RunOptions& r) {
        r.contractFrom = QDate(2025, 3, 1);
        r.contractTo = QDate(2025, 3, 31);
    });

    const QStringList searches = Targets(PortalImitation::kSearchPath);
    ASSERT_EQ(searches.size(), 3);
    ExpectNoRepeats(searches);
    // The first search as the rewrite sent it: escapes opened, run's dates, page size last.
    EXPECT_TRUE(searches[0].contains("&contractStageList=0,1&budgetLevelsIdNameHidden={}&"));
    EXPECT_TRUE(searches[0].endsWith(
        "&contractDateFrom=01.03.2025&contractDateTo=31.03.2025&recordsPerPage=_500"));
    EXPECT_TRUE(searches[1].endsWith("&pageNumber=2"));
    EXPECT_TRUE(searches[2].endsWith("&pageNumber=3"));
    EXPECT_EQ(CountStarting(QStringLiteral("Нашлось")), 0);
    EXPECT_EQ(run->Outcome().contractsFound, 0);

    const QStringList rejects = Targets(PortalImitation::kRejectPath);
    EXPECT_EQ(rejects.size(), rejectQueries.size());
    ExpectNoRepeats(rejects);
    EXPECT_EQ(CountStarting(QStringLiteral("Найден отказ ")), rejectQueries.size());
    EXPECT_TRUE(Texts().contains(QStringLiteral("Найден отказ ") + rejectUrl(*latest)));
}

TEST_F(ListingRunTest, LargeWindowIsNarrowedLevelByLevelUntilEverySearchIsWalked) {
    PortalDataSet data =
        replica::MakePortalDataSet(2500, QDate(2026, 1, 1), QDate(2026, 1, 31), 5, 0);
    // Two contracts in different pieces of the split share one refusal page.
    ContractRecord early = replica::MakeContract(Id(1), QDate(2026, 1, 2), 5000);
    ContractRecord late = replica::MakeContract(Id(2), QDate(2026, 1, 30), 7000);
    replica::AddRefusal(early, {replica::CustomerRefusal("03.02.2026 10:00")});
    late.rejectQuery = early.rejectQuery;
    data.contracts.append(early);
    data.contracts.append(late);
    portal_.setData(data);
    auto run = Run(PortalImitation::StartUrl(base()), [](RunOptions& r) {
        r.threadLimit = 1;
        r.contractFrom = QDate(2026, 1, 1);
        r.contractTo = QDate(2026, 1, 31);
    });

    const QStringList searches = Targets(PortalImitation::kSearchPath);
    ASSERT_GE(searches.size(), 8);
    ExpectNoRepeats(searches);
    EXPECT_TRUE(searches[0].endsWith(
        "&contractDateFrom=01.01.2026&contractDateTo=31.01.2026&recordsPerPage=_500"));
    // 2502 records: three pieces, the latest fetched first. Each is split again, and its own
    // pieces come before the pieces of the first split that are still waiting.
    auto at = [&](const char* window) {
        for (qsizetype i = 0; i < searches.size(); ++i) {
            if (searches[i].endsWith(QString::fromUtf8(window))) {
                return i;
            }
        }
        return qsizetype(-1);
    };
    EXPECT_EQ(at("&contractDateFrom=23.01.2026&contractDateTo=31.01.2026"), 1);
    EXPECT_LT(at("&contractDateFrom=23.01.2026&contractDateTo=31.01.2026"),
              at("&contractDateFrom=12.01.2026&contractDateTo=22.01.2026"));
    EXPECT_LT(at("&contractDateFrom=12.01.2026&contractDateTo=22.01.2026"),
              at("&contractDateFrom=01.01.2026&contractDateTo=11.01.2026"));
    EXPECT_LT(at("&contractDateFrom=28.01.2026&contractDateTo=31.01.2026"),
              at("&contractDateFrom=23.01.2026&contractDateTo=27.01.2026"));
    EXPECT_LT(at("&contractDateFrom=23.01.2026&contractDateTo=27.01.2026"),
              at("&contractDateFrom=01.01.2026&contractDateTo=11.01.2026"));
    EXPECT_GE(CountStarting(kSplitLine), 4);
    EXPECT_EQ(CountStarting(kNarrowFailed), 0);
    // The walked searches cover the window without gap or overlap.
    EXPECT_EQ(run->Outcome().contractsFound, 2502);
    EXPECT_EQ(Targets(PortalImitation::kRejectPath).size(), 1);
    EXPECT_EQ(CountStarting(QStringLiteral("Найден отказ ")), 1);
}

TEST_F(ListingRunTest, ThresholdIsFourHundredRecords) {
    PortalDataSet data =
        replica::MakePortalDataSet(399, QDate(2026, 1, 1), QDate(2026, 1, 3), 3, 0);
    portal_.setData(data);
    auto run = Run(PortalImitation::StartUrl(base()), [](RunOptions& r) {
        r.contractFrom = QDate(2026, 1, 1);
        r.contractTo = QDate(2026, 1, 3);
    });
    EXPECT_EQ(Targets(PortalImitation::kSearchPath).size(), 1);
    EXPECT_EQ(CountStarting(kSplitLine), 0);
    // The count line: the date window, then the count on a line of its own.
    const QStringList texts = Texts();
    const qsizetype count = texts.indexOf(QStringLiteral("Нашлось 399 записей"));
    ASSERT_GT(count, 0);
    EXPECT_TRUE(texts[count - 1].endsWith("contractDateFrom=01.01.2026&contractDateTo=03.01.2026"));
    EXPECT_EQ(run->Outcome().contractsFound, 399);
    EXPECT_EQ(run->Outcome().firstSearchCount, 399);

    data.contracts.append(replica::MakeContract(Id(9), QDate(2026, 1, 2), 100));
    portal_.setData(data);
    replica_.clearRequests();
    run = Run(PortalImitation::StartUrl(base()), [](RunOptions& r) {
        r.contractFrom = QDate(2026, 1, 1);
        r.contractTo = QDate(2026, 1, 3);
    });
    EXPECT_EQ(CountStarting(kSplitLine), 1);
    EXPECT_EQ(Targets(PortalImitation::kSearchPath).size(), 3);
    EXPECT_EQ(run->Outcome().contractsFound, 400);
    EXPECT_EQ(run->Outcome().firstSearchCount, 400);
}

TEST_F(ListingRunTest, WindowWithUnreadableDatesIsWalkedUnsplit) {
    PortalDataSet data =
        replica::MakePortalDataSet(450, QDate(2026, 1, 1), QDate(2026, 1, 3), 4, 0);
    replica::AddRefusal(data.contracts.first(), {replica::CustomerRefusal("06.01.2026 09:00")});
    portal_.setData(data);
    // No contract dates chosen: the window has no start date to split from.
    auto run = Run(PortalImitation::StartUrl(base()));

    EXPECT_TRUE(Texts().contains(
        QStringLiteral("Ошибка на этапе обработки: '' не является правильной датой")));
    EXPECT_EQ(CountStarting(kNarrowFailed), 1);
    EXPECT_EQ(CountStarting(kSplitLine), 0);
    EXPECT_EQ(Targets(PortalImitation::kSearchPath).size(), 1);
    EXPECT_EQ(run->Outcome().contractsFound, 450);
    EXPECT_EQ(CountStarting(QStringLiteral("Найден отказ ")), 1);
}

TEST_F(ListingRunTest, SingleDayIsSplitByPriceAndAnUnsplittableSearchIsWalkedAsItStands) {
    const QDate day(2026, 1, 5);
    PortalDataSet data = replica::MakePortalDataSet(450, day, day, 9, 0);
    // 410 contracts of one day at one price cannot be told apart by any search.
    for (int i = 0; i < 410; ++i) {
        data.contracts.append(replica::MakeContract(Id(100 + i), day, 777777));
    }
    replica::AddRefusal(data.contracts.last(), {replica::CustomerRefusal("06.01.2026 09:00")});
    portal_.setData(data);

    auto run = Run(PortalImitation::StartUrl(base()), [&](RunOptions& r) {
        r.contractFrom = day;
        r.contractTo = day;
    });

    const QStringList searches = Targets(PortalImitation::kSearchPath);
    ExpectNoRepeats(searches);
    for (const QString& target : searches.mid(1)) {
        EXPECT_TRUE(target.contains("&contractDateFrom=05.01.2026&contractDateTo=05.01.2026"));
        EXPECT_TRUE(target.contains("&contractPriceFrom="));
    }
    const QString single = QStringLiteral("&contractPriceFrom=777777&contractPriceTo=777777");
    EXPECT_EQ(CountStarting(kNarrowFailed), 1);
    for (const QString& text : Texts()) {
        if (text.startsWith(kNarrowFailed)) {
            EXPECT_TRUE(text.endsWith(single));
        }
    }
    EXPECT_EQ(run->Outcome().contractsFound, 860);
    EXPECT_EQ(CountStarting(QStringLiteral("Найден отказ ")), 1);
}

TEST_F(ListingRunTest, RefusalPagesFilteredByDateAndStoreThenRecorded) {
    PortalDataSet data;
    auto add = [&](int n, const QList<replica::RefusalDocument>& documents) {
        ContractRecord contract = replica::MakeContract(Id(n), QDate(2026, 1, n), 1000 * n);
        replica::AddRefusal(contract, documents);
        data.contracts.append(contract);
        return contract;
    };
    const auto two = add(1, {replica::CustomerRefusal("10.02.2026 10:00"),
                             replica::RefusalCancellation("10.02.2026 12:00"),
                             replica::SupplierRefusal("12.02.2026 09:30")});
    const auto onUpperBound = add(2, {replica::CustomerRefusal("20.02.2026 23:59")});
    const auto early = add(3, {replica::CustomerRefusal("09.02.2026 08:00")});
    const auto late = add(4, {replica::CustomerRefusal("21.02.2026 08:00")});
    const auto unreadable = add(5, {replica::CustomerRefusal("подписано ЭП")});
    const auto stored = add(6, {replica::CustomerRefusal("15.02.2026 15:00")});
    portal_.setData(data);
    // The store knows the last one, in other letters' case.
    WriteFile(dir_.filePath("have.txt"),
              (rejectUrl(stored).toUpper() + "#15.02.2026 15:00\r\n").toUtf8());

    auto run = Run(PortalImitation::StartUrl(base()), [](RunOptions& r) {
        r.contractFrom = QDate(2026, 1, 1);
        r.contractTo = QDate(2026, 1, 31);
        r.refusalFrom = QDate(2026, 2, 10);
        r.refusalTo = QDate(2026, 2, 20);
    });

    const QStringList texts = Texts();
    const QString found = QStringLiteral("Обнаружен отказ: ");
    // The cancellation on the first page gives no line of its own.
    EXPECT_EQ(texts.filter(found).filter(rejectUrl(two)).size(), 2);
    EXPECT_TRUE(texts.contains(found +
                               "Решение заказчика об одностороннем отказе от исполнения "
                               "контракта на " +
                               rejectUrl(two)));
    EXPECT_EQ(CountStarting(found), 7);
    EXPECT_EQ(texts.filter("об отмене").size(), 0);
    EXPECT_EQ(CountStarting("Данный отказ найден в файле have.txt, то есть был выгружен ранее. "
                            "Пропускаем его."),
              1);
    EXPECT_EQ(CountStarting("Данный отказ не найден в файле have.txt, то есть ранее не "
                            "выгружался. Берём в работу."),
              6);
    EXPECT_EQ(CountStarting("Дата отказа меньше заданной, пропускаем его."), 1);
    EXPECT_EQ(CountStarting("Дата отказа больше заданной, пропускаем его."), 1);
    EXPECT_TRUE(texts.contains(rejectUrl(unreadable) +
                               " - Неправильный формат даты в отказе: подписано ЭП, отказ "
                               "будет считаться подходящим под фильтры."));

    // Accepted: both refusals of the first page, the one on the upper bound, the unreadable.
    const QString card = base() + PortalImitation::kCardPath + "?reestrNumber=";
    QStringList cards;
    QStringList dated;
    for (const CardJob& job : run->Outcome().cards) {
        cards << job.url;
        dated << job.url + QLatin1Char('#') + job.signedAt;
    }
    cards.sort();
    EXPECT_EQ(cards, QStringList({card + Id(1), card + Id(1), card + Id(2), card + Id(5)}));
    EXPECT_TRUE(dated.contains(card + Id(1) + "#12.02.2026 09:30"));
    EXPECT_TRUE(dated.contains(card + Id(2) + "#20.02.2026 23:59"));
    EXPECT_EQ(view_.results().size(), 4);
    EXPECT_TRUE(run->Outcome().newRefusalSeen);

    // Every new refusal is in the store, rejected ones too, beside the old line.
    HaveStore store;
    store.Load(dir_.filePath("have.txt"));
    EXPECT_EQ(store.Lines().size(), 7);
    for (const QString& key :
         {rejectUrl(two) + "#10.02.2026 10:00", rejectUrl(two) + "#12.02.2026 09:30",
          rejectUrl(onUpperBound) + "#20.02.2026 23:59", rejectUrl(early) + "#09.02.2026 08:00",
          rejectUrl(late) + "#21.02.2026 08:00", rejectUrl(unreadable) + "#подписано ЭП",
          rejectUrl(stored).toUpper() + "#15.02.2026 15:00"}) {
        EXPECT_TRUE(store.Lines().contains(key)) << key.toStdString();
    }
}

// A refusal page handled on its own: an inverted window rejects on both sides, the contract
// link is used as it stands unless it begins with "/", and the registry id is all after "=".
TEST(RejectPageTest, BothBoundsRejectAndForeignContractLinksStayAsTheyAre) {
    QTemporaryDir dir;
    RecordedRunReport view;
    RunOptions options = RunOptionsIn(dir.path());
    options.refusalFrom = QDate(2026, 2, 20);
    options.refusalTo = QDate(2026, 2, 10);
    ListingParts run(view, options, QStringLiteral("https://p.test"));

    ContractRecord contract = replica::MakeContract(Id(1), QDate(2026, 1, 1), 10);
    replica::AddRefusal(contract, {replica::CustomerRefusal("15.02.2026 10:00"),
                                   replica::SupplierRefusal("31.02.2026 10:00")});
    contract.contractLink = QStringLiteral("https://other.test/card.html?reestrNumber=77&x=1");
    PortalDataSet data;
    data.contracts.append(contract);
    const replica::PortalImitation portal(data);
    const QString page = QString::fromUtf8(portal.rejectPage(contract.rejectQuery.toUtf8()));
    const QString url =
        QStringLiteral("https://p.test/epz/rdik/card/reject-info.html?") + contract.rejectQuery;

    run.listing.ApplyRefusalPage(page, url);

    QStringList texts;
    for (const QString& line : view.log()) {
        texts.append(line.mid(line.indexOf(QStringLiteral(": ")) + 2));
    }
    const QStringList expected = {
        "Обнаружен отказ: Решение заказчика об одностороннем отказе от исполнения контракта на " +
            url,
        "Данный отказ не найден в файле have.txt, то есть ранее не выгружался. Берём в работу.",
        "Дата отказа меньше заданной, пропускаем его.",
        "Дата отказа больше заданной, пропускаем его.",
        "Обнаружен отказ: Решение поставщика (подрядчика, исполнителя) об одностороннем отказе "
        "от исполнения контракта на " +
            url,
        "Данный отказ не найден в файле have.txt, то есть ранее не выгружался. Берём в работу.",
        url +
            " - Неправильный формат даты в отказе: 31.02.2026 10:00, отказ будет считаться "
            "подходящим под фильтры.",
    };
    EXPECT_EQ(texts, expected);
    const QList<CardJob>& cards = run.listing.Cards();
    ASSERT_EQ(cards.size(), 1);
    EXPECT_EQ(cards[0].url, "https://other.test/card.html?reestrNumber=77&x=1");
    EXPECT_EQ(cards[0].signedAt, "31.02.2026 10:00");
    EXPECT_EQ(ReadFile(dir.filePath("have.txt")),
              (url + "#15.02.2026 10:00\r\n" + url + "#31.02.2026 10:00\r\n").toUtf8());
}

// A refusal page as read: documents in page order, the readable title as the portal shows it
// with markup characters, a cancellation only flagged, and the card link made absolute.
TEST(RefusalPageTest, DocumentsInOrderWithReadableTitlesAndTheCardLink) {
    const QString title = QStringLiteral("Решение <ООО \"Ромашка\"  & Ко> об отказе");
    ContractRecord contract = replica::MakeContract(Id(1), QDate(2026, 1, 1), 10);
    replica::AddRefusal(contract, {{title, QStringLiteral("15.02.2026 10:00")},
                                   replica::RefusalCancellation("16.02.2026 11:00"),
                                   replica::SupplierRefusal("17.02.2026 12:00")});
    PortalDataSet data;
    data.contracts.append(contract);
    const replica::PortalImitation portal(data);
    const QString page = QString::fromUtf8(portal.rejectPage(contract.rejectQuery.toUtf8()));

    QList<RefusalDocument> documents;
    RefusalDocuments reader(page);
    for (RefusalDocument document; reader.Next(&document);) {
        documents.append(document);
    }
    ASSERT_EQ(documents.size(), 3);
    EXPECT_EQ(documents[0].readableTitle,
              QStringLiteral("Решение <ООО \"Ромашка\" & Ко> об отказе"));
    EXPECT_EQ(documents[0].signedAt, "15.02.2026 10:00");
    EXPECT_FALSE(documents[0].cancels);
    EXPECT_TRUE(documents[1].cancels);
    EXPECT_TRUE(documents[1].title.contains("об отмене"));
    EXPECT_EQ(documents[2].signedAt, "17.02.2026 12:00");
    EXPECT_FALSE(documents[2].cancels);
    EXPECT_EQ(ContractCardLink(page, "https://p.test"),
              "https://p.test" + QString::fromLatin1(PortalImitation::kCardPath) +
                  "?reestrNumber=" + Id(1));
}

// The most refusal-page and card requests in flight at once: each answer is held `holdMs`, so a
// slot is free again no earlier than that after its request arrived.
int MostInFlight(const QList<replica::Request>& requests, const char* path, qint64 holdMs) {
    QList<qint64> arrivals;
    for (const replica::Request& request : requests) {
        if (request.path() == path) {
            arrivals.append(request.arrivalMs);
        }
    }
    int most = 0;
    for (qint64 start : arrivals) {
        int within = 0;
        for (qint64 other : arrivals) {
            within += (other >= start && other < start + holdMs) ? 1 : 0;
        }
        most = std::max(most, within);
    }
    return most;
}

TEST_F(ListingRunTest, FiveDetailSlotsWithProxiesAndOneWithout) {
    // Six refused contracts: one more than the slots with proxies.
    PortalDataSet data;
    for (int n = 1; n <= 6; ++n) {
        ContractRecord contract = replica::MakeContract(Id(n), QDate(2026, 2, n), 1000 * n);
        replica::AddRefusal(
            contract, {replica::CustomerRefusal(
                          QStringLiteral("%1.03.2026 10:00").arg(n, 2, 10, QLatin1Char('0')))});
        data.contracts.append(contract);
    }
    portal_.setData(data);
    // Refusal pages and cards answer slowly; the spacing is short enough not to hide a slot.
    constexpr qint64 kHoldMs = 400;
    RunTiming timing = Timing();
    timing.detailSpacingMs = 1;
    ScopedTiming shortSpacing(timing);
    replica_.setHandler([this](const replica::Request& request) {
        replica::Response response = portal_.handle(request);
        if (request.path() != PortalImitation::kSearchPath) {
            response.delayMs = static_cast<int>(kHoldMs);
        }
        return response;
    });

    for (bool proxies : {true, false}) {
        SCOPED_TRACE(proxies ? "with proxies" : "direct");
        replica_.clearRequests();
        QFile::remove(dir_.filePath(QStringLiteral("have.txt")));
        // No proxy.txt: with the box ticked every request still goes out directly.
        Run(PortalImitation::StartUrl(base()), [proxies](RunOptions& r) {
            r.useProxy = proxies;
            r.contractFrom = QDate(2026, 2, 1);
            r.contractTo = QDate(2026, 2, 28);
        });
        const QList<replica::Request> requests = replica_.requests();
        const int slotCount = proxies ? 5 : 1;
        EXPECT_EQ(Targets(PortalImitation::kRejectPath).size(), 6);
        EXPECT_EQ(Targets(PortalImitation::kCardPath).size(), 6);
        EXPECT_EQ(MostInFlight(requests, PortalImitation::kRejectPath, kHoldMs), slotCount);
        EXPECT_EQ(MostInFlight(requests, PortalImitation::kCardPath, kHoldMs), slotCount);
    }
}

}  // namespace

// A watch over a search that lists many refusal pages met before: every run fetches the pages
// never met ahead of all known ones, checks as many known pages as its share allows, those not
// checked yet first and then the ones checked longest ago, and so goes round all of them.
TEST_F(ListingRunTest, NewRefusalPagesGoFirstAndKnownOnesAreCheckedInTurns) {
    RunTiming timing = Timing();
    timing.recheckShareMs = 3 * timing.detailSpacingMs;  // three known pages a run
    timing.progressLineMs = 1;                           // a progress line at every page
    ScopedTiming share(timing);
    PortalDataSet data;
    QStringList known;
    QByteArray have;
    for (int i = 0; i < 10; ++i) {
        ContractRecord contract = replica::MakeContract(Id(i + 1), QDate(2026, 1, 2 + i), 100 + i);
        const QString signedAt = QStringLiteral("%1.02.2026 10:00").arg(10 + i);
        replica::AddRefusal(contract, {replica::CustomerRefusal(signedAt)});
        data.contracts.append(contract);
        if (i < 8) {
            known << rejectUrl(contract);
            have += (rejectUrl(contract) + "#" + signedAt + "\r\n").toUtf8();
        }
    }
    portal_.setData(data);
    WriteFile(dir_.filePath("have.txt"), have);

    const auto ledger = std::make_shared<RecheckLedger>();
    const auto watchRun = [&] {
        replica_.clearRequests();
        Run(PortalImitation::StartUrl(base()), [&](RunOptions& r) {
            r.contractFrom = QDate(2026, 1, 1);
            r.contractTo = QDate(2026, 1, 31);
            r.repeating = true;
            r.recheckLedger = ledger;
        });
        QStringList pages;
        for (const QString& target : Targets(PortalImitation::kRejectPath)) {
            pages << base() + target;
        }
        return pages;
    };

    QSet<QString> checkedKnown;
    for (int run = 0; run < 3; ++run) {
        SCOPED_TRACE(run);
        if (run == 1) {
            // Published between two runs: fetched first in the next one.
            ContractRecord contract = replica::MakeContract(Id(11), QDate(2026, 1, 20), 500);
            replica::AddRefusal(contract, {replica::CustomerRefusal("25.02.2026 10:00")});
            data.contracts.append(contract);
            portal_.setData(data);
        }
        const QStringList pages = watchRun();
        const qsizetype fresh = run == 0 ? 2 : (run == 1 ? 1 : 0);
        ASSERT_EQ(pages.size(), fresh + 3) << pages.join(' ').toStdString();
        for (qsizetype i = 0; i < pages.size(); ++i) {
            EXPECT_EQ(i < fresh, !known.contains(pages[i]) && run < 2) << pages[i].toStdString();
            if (known.contains(pages[i])) {
                checkedKnown.insert(pages[i]);
            }
        }
        EXPECT_EQ(
            CountStarting(QStringLiteral("Известных страниц отказов проверено снова: 3 из %1, "
                                         "полный круг по ним занимает около ")
                              .arg(8 + 2 * run - (run == 2 ? 1 : 0))),
            1)
            << Texts().filter("Известных").join('|').toStdString();
        // Read of those to read: the new pages and the known ones this run checks.
        EXPECT_TRUE(Texts().contains(
            QStringLiteral("Прочитано страниц отказов: 1 из %1, осталось около 1 с")
                .arg(fresh + 3)))
            << Texts().filter("Прочитано").join('|').toStdString();
    }
    // Three runs of three cover the eight pages known at the start, none left behind.
    EXPECT_EQ(checkedKnown.size(), 8);
}
