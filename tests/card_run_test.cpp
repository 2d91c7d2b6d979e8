// Whole runs through the card phase against the portal imitation: the CSV file a run keeps,
// the rows it writes, and runs stopped in either phase whose refusals a later run exports.
#include <gtest/gtest.h>

#include <QDir>
#include <QMultiMap>
#include <QSet>
#include <QTemporaryDir>
#include <QUrl>
#include <QUuid>

#include "PortalImitation.h"
#include "PortalReplica.h"
#include "TelegramImitation.h"
#include "run/RecordedRunReport.h"
#include "run/RunDriver.h"
#include "support/TelegramSettings.h"
#include "support/TestSupport.h"

using replica::AddRefusal;
using replica::ContractRecord;
using replica::CustomerRefusal;
using replica::MakeContract;
using replica::PortalDataSet;
using replica::PortalImitation;
using replica::PortalReplica;
using replica::Request;
using replica::Response;
using replica::SupplierRefusal;
using replica::TelegramImitation;

namespace {

const QDate kFrom(2026, 1, 1);
const QDate kTo(2026, 1, 31);
const QString kToken = QStringLiteral("1234567890:AAE-card-run-test");

class CardRunTest : public ::testing::Test {
protected:
    CardRunTest() : timing_(ScopedTiming::Scaled(20)) {
        replica_.setHandler([this](const Request& request) {
            Response response = portal_.handle(request);
            if (request.path() == PortalImitation::kCardPath && cardsGone_) {
                response = Response::Status(404, "Not Found");
            }
            if (request.path() == PortalImitation::kCardPath && ++cardRequests_ > answeredCards_) {
                response.silent = true;  // no answer until the run is stopped
            }
            if (request.path() == PortalImitation::kRejectPath &&
                ++rejectRequests_ > answeredRejects_) {
                response.silent = true;
            }
            return response;
        });
        WriteFile(dir_.filePath(QStringLiteral("StartURL.txt")),
                  PortalImitation::StartUrl(replica_.url()).toUtf8());
    }

    void SetUpPortal() { portal_.setData(replica::ThreeRefusals()); }

    // A run left behind by a failed assertion is stopped, so it cannot keep retrying.
    void TearDown() override {
        if (run_) {
            run_->Control()->Terminate();
            run_->wait(30000);
        }
    }

    RunDriver& NewRun(int threadLimit = RunOptions().threadLimit) {
        RunOptions options = RunOptionsIn(dir_.path());
        options.contractFrom = kFrom;
        options.contractTo = kTo;
        options.threadLimit = threadLimit;
        run_ = std::make_unique<RunDriver>(&view_, std::move(options));
        return *run_;
    }

    // Notices go to the Bot API imitation.
    void ConfigureTelegram() {
        telegram_.setHandler(bot_.handler());
        WriteTelegramSettings(dir_.path(), telegram_.url(), kToken);
    }

    // The refusal dates the notices named, in the order they went out; edits are not notices.
    QStringList NoticeDates() const {
        QStringList dates;
        for (const Request& request : bot_.requests()) {
            if (!request.path().endsWith("/sendmessage")) {
                continue;
            }
            const QString body = QUrl::fromPercentEncoding(request.body);
            dates << body.mid(body.indexOf(QStringLiteral("отказ от ")) + 9, 16);
        }
        return dates;
    }

    QStringList CsvFiles() const {
        return QDir(dir_.path()).entryList({QStringLiteral("*.csv")}, QDir::Files);
    }

    // The rows of the run's only CSV file, without the header.
    QList<QStringList> Rows() const {
        const QStringList files = CsvFiles();
        EXPECT_EQ(files.size(), 1);
        if (files.size() != 1) {
            return {};
        }
        return RowsOf(files.first());
    }

    // Runs again, at least a second later so its CSV file has a name of its own, and returns
    // the rows that run wrote into its file.
    QList<QStringList> NextRunRows() {
        QThread::msleep(1100);
        RunDriver& next = NewRun();
        next.start();
        EXPECT_TRUE(next.wait(60000));
        const QStringList files = CsvFiles();
        EXPECT_EQ(files.size(), 2);
        if (files.size() != 2) {
            return {};
        }
        return RowsOf(files.last());
    }

    QList<QStringList> RowsOf(const QString& file) const {
        const QString text = QString::fromUtf8(ReadFile(dir_.filePath(file)));
        QList<QStringList> rows;
        QStringList lines = text.split(QStringLiteral("\r\n"));
        EXPECT_TRUE(lines.last().isEmpty());  // every line ends with CR LF
        lines.removeLast();
        for (qsizetype i = 1; i < lines.size(); ++i) {
            rows << lines[i].mid(1, lines[i].size() - 2).split(QStringLiteral("\";\""));
        }
        return rows;
    }

    bool LogHas(const QString& text) const {
        for (const QString& line : view_.log()) {
            if (line.endsWith(QStringLiteral(": ") + text)) {
                return true;
            }
        }
        return false;
    }

    QTemporaryDir dir_;
    ScopedTiming timing_;
    PortalImitation portal_;
    std::atomic<int> cardRequests_{0};
    std::atomic<int> answeredCards_{1000};  // card requests after this many get no answer
    std::atomic<int> rejectRequests_{0};
    std::atomic<int> answeredRejects_{1000};  // likewise for refusal pages
    std::atomic<bool> cardsGone_{false};      // every card answers 404
    TelegramImitation bot_{kToken};
    PortalReplica telegram_;
    PortalReplica replica_;
    RecordedRunReport view_;
    std::unique_ptr<RunDriver> run_;
};

TEST_F(CardRunTest, RunKeepsItsFileWithOneRowPerRefusalAndItsOwnDate) {
    SetUpPortal();
    RunDriver& run = NewRun();
    run.start();
    ASSERT_TRUE(run.wait(60000));

    const QList<QStringList> rows = Rows();
    ASSERT_EQ(rows.size(), 3);
    QMultiMap<QString, QStringList> byContract;
    for (const QStringList& row : rows) {
        ASSERT_EQ(row.size(), 11);
        EXPECT_EQ(row[3], replica_.url() + QString::fromLatin1(PortalImitation::kCardPath) +
                              QStringLiteral("?reestrNumber=") + row[2].mid(1));
        byContract.insert(row[2], row);
    }
    // Both refusals of one contract, each with the date of its own refusal.
    const QList<QStringList> twice = byContract.values(QStringLiteral("'2770100000126000011"));
    ASSERT_EQ(twice.size(), 2);
    EXPECT_EQ(QSet<QString>({twice[0][0], twice[1][0]}),
              QSet<QString>({QStringLiteral("12.01.2026"), QStringLiteral("20.01.2026")}));
    EXPECT_EQ(twice[0][8], "150000,00");
    // The card with the postal-address column still gives phone and e-mail.
    const QStringList postal = byContract.value(QStringLiteral("'2770100000126000022"));
    ASSERT_EQ(postal.size(), 11);
    EXPECT_EQ(postal[0], "14.01.2026");
    EXPECT_EQ(postal[8], "2500000,00");  // written with no-break spaces on the card
    EXPECT_EQ(postal[9], "+7 900 122-00-00");
    EXPECT_EQ(postal[10], "info22@example.ru");

    const QString name = CsvFiles().first();
    EXPECT_TRUE(LogHas(QStringLiteral("Данные будут записываться в файл ") + dir_.filePath(name)));
    EXPECT_TRUE(LogHas(QStringLiteral("Найденные отказы сохранены в файл ") + name));
    EXPECT_TRUE(LogHas(QStringLiteral("Сбор данных завершен")));
}

TEST_F(CardRunTest, StopInTheCardPhaseKeepsTheRowsWrittenSoFar) {
    SetUpPortal();
    answeredCards_ = 2;
    RunDriver& run = NewRun();
    run.start();
    // Two rows are in the file while the third card hangs.
    ASSERT_TRUE(WaitFor(
        [&] {
            const QStringList files = CsvFiles();
            return files.size() == 1 && ReadFile(dir_.filePath(files.first())).count("\r\n") == 3;
        },
        30000));
    run.Control()->Terminate();
    ASSERT_TRUE(run.wait(30000));

    const QList<QStringList> rows = Rows();
    ASSERT_EQ(rows.size(), 2);
    EXPECT_EQ(rows[1].size(), 11);
    const QString first = CsvFiles().first();
    EXPECT_TRUE(LogHas(QStringLiteral("Найденные отказы сохранены в файл ") + first));
    EXPECT_FALSE(LogHas(QStringLiteral("Сбор данных завершен")));

    // The next run writes the row of the card that never came, and only that one, into its
    // own file.
    answeredCards_ = 1000;
    const QList<QStringList> more = NextRunRows();
    ASSERT_EQ(more.size(), 1);
    QSet<QString> all;
    for (const QStringList& row : rows + more) {
        all.insert(row[2] + row[0]);
    }
    EXPECT_EQ(all,
              QSet<QString>({"'277010000012600001112.01.2026", "'277010000012600001120.01.2026",
                             "'277010000012600002214.01.2026"}));
    EXPECT_FALSE(QFile::exists(dir_.filePath(QStringLiteral("have-pending.txt"))));
}

TEST_F(CardRunTest, RefusalsAcceptedBeforeAStopInTheListingAreExportedByTheNextRun) {
    SetUpPortal();
    ConfigureTelegram();
    bot_.answerStatus(503, "Service Unavailable");
    answeredRejects_ = 1;  // the second refusal page hangs
    RunTiming timing = Timing();
    timing.noticeBacklogReportMs = 0;  // every waiting notice counts as long waiting
    auto reportAll = std::make_unique<ScopedTiming>(timing);
    RunDriver& run = NewRun();
    run.start();
    // The first refusal page's refusals are in have.txt: the run is stopped before its cards.
    ASSERT_TRUE(WaitFor(
        [&] { return rejectRequests_ >= 2 && QFile::exists(dir_.filePath("have.txt")); }, 30000));
    run.Control()->Terminate();
    ASSERT_TRUE(run.wait(30000));
    EXPECT_TRUE(CsvFiles().isEmpty());
    const int accepted =
        static_cast<int>(ReadFile(dir_.filePath(QStringLiteral("have.txt"))).count("\r\n"));
    ASSERT_GE(accepted, 1);
    // Telegram was down: the notices wait, nothing was delivered, and the log says so.
    EXPECT_EQ(ReadFile(dir_.filePath(QStringLiteral("notice-queue.txt"))).count("\r\n"), accepted);
    EXPECT_EQ(view_.log()
                  .filter(QStringLiteral(": Уведомлений в Telegram ждут отправки: %1, "
                                         "самое давнее с ")
                              .arg(accepted))
                  .size(),
              1);
    reportAll.reset();

    // The next run exports every refusal once, and sends every notice once, oldest first.
    bot_.answerSuccess(QStringLiteral("operator"), QStringLiteral("quorvane_bot"));
    const qsizetype failedTries = bot_.requests().size();
    answeredRejects_ = 1000;
    RunDriver& next = NewRun();
    next.start();
    ASSERT_TRUE(next.wait(60000));
    QStringList dates;
    for (const QStringList& row : Rows()) {
        dates << row[2] + QLatin1Char(' ') + row[0];
    }
    dates.sort();
    EXPECT_EQ(dates,
              QStringList({"'2770100000126000011 12.01.2026", "'2770100000126000011 20.01.2026",
                           "'2770100000126000022 14.01.2026"}));
    QStringList sent = NoticeDates().mid(failedTries);
    EXPECT_EQ(sent.size(), 3);
    sent.removeDuplicates();
    EXPECT_EQ(sent.size(), 3);
    int delivered = 0;
    for (const QString& line : view_.log()) {
        delivered += line.endsWith(QStringLiteral("успешно отправлено!")) ? 1 : 0;
    }
    EXPECT_EQ(delivered, 3);
    EXPECT_FALSE(QFile::exists(dir_.filePath(QStringLiteral("notice-queue.txt"))));
    EXPECT_FALSE(QFile::exists(dir_.filePath(QStringLiteral("have-pending.txt"))));
}

// A crash between a row and its journal update: the next run checks the file the entry names
// and writes no second row; an entry whose row never reached its file gets its row.
TEST_F(CardRunTest, JournalEntriesOfACrashedRunGetARowOnlyWhereTheirFileLacksIt) {
    SetUpPortal();
    RunDriver& run = NewRun();
    run.start();
    ASSERT_TRUE(run.wait(60000));
    const QString file = CsvFiles().first();
    const QByteArray bytes = ReadFile(dir_.filePath(file));
    const QList<QStringList> rows = RowsOf(file);
    ASSERT_EQ(rows.size(), 3);
    const qint64 lastRowAt = bytes.lastIndexOf("\r\n\"", bytes.size() - 3) + 2;
    const QStringList last = rows.last();
    const QString refusalPage = replica_.url() + QString::fromLatin1(PortalImitation::kRejectPath);
    auto entry = [&](const QStringList& row, const QString& key, qint64 offset) {
        return "dead-run\t" + key + "\t" + row[3] + "\t" + row[0] + " 10:00\t" + file + "\t" +
               QString::number(offset) + "\r\n";
    };
    WriteFile(dir_.filePath(QStringLiteral("have-pending.txt")),
              (entry(last, refusalPage + "?a#1", lastRowAt) +
               entry(rows.first(), refusalPage + "?b#2", bytes.size()))
                  .toUtf8());

    const QList<QStringList> more = NextRunRows();
    ASSERT_EQ(more.size(), 1);
    EXPECT_EQ(more.first()[3], rows.first()[3]);
    EXPECT_EQ(more.first()[0], rows.first()[0]);
    EXPECT_EQ(ReadFile(dir_.filePath(file)), bytes);
    EXPECT_FALSE(QFile::exists(dir_.filePath(QStringLiteral("have-pending.txt"))));
}

// Cards that never load: later runs try them only when due, and once they have failed for days
// their rows are written with what the refusal tells, so nothing is lost and nothing loops.
TEST_F(CardRunTest, CardsThatNeverLoadAreTriedWhenDueThenWrittenWithoutThem) {
    SetUpPortal();
    ConfigureTelegram();
    cardsGone_ = true;
    RunTiming timing = Timing();
    timing.cardRetryEveryRunMs = 0;
    timing.cardRetryGapMs = 600000;
    timing.cardGiveUpMs = 600000;
    auto notYetDue = std::make_unique<ScopedTiming>(timing);
    RunDriver& run = NewRun();
    run.start();
    ASSERT_TRUE(run.wait(60000));
    EXPECT_TRUE(Rows().isEmpty());
    const int tried = cardRequests_;
    EXPECT_GE(tried, 3);

    RunDriver& notDue = NewRun();
    notDue.start();
    ASSERT_TRUE(notDue.wait(60000));
    EXPECT_EQ(cardRequests_, tried);

    timing.cardRetryGapMs = 0;
    timing.cardGiveUpMs = 0;
    notYetDue.reset();
    ScopedTiming givingUp(timing);
    const QList<QStringList> rows = NextRunRows();
    EXPECT_GT(cardRequests_, tried);
    ASSERT_EQ(rows.size(), 3);
    for (const QStringList& row : rows) {
        const QStringList known = {row[0], row[2], row[3]};
        EXPECT_EQ(row.join(QString()), known.join(QString()));
        EXPECT_EQ(row[3], replica_.url() + QString::fromLatin1(PortalImitation::kCardPath) +
                              QStringLiteral("?reestrNumber=") + row[2].mid(1));
    }
    int given = 0;
    for (const QString& line : view_.log()) {
        given += line.contains(QStringLiteral("Карточка контракта не загружается больше 7 дней, "
                                              "отказ записан без её данных: "))
                     ? 1
                     : 0;
    }
    EXPECT_EQ(given, 3);
    EXPECT_FALSE(QFile::exists(dir_.filePath(QStringLiteral("have-pending.txt"))));
    // A row without the card's data adds nothing to its notice, which leaves the queue.
    EXPECT_EQ(NoticeDates().size(), 3);
    EXPECT_EQ(bot_.requests().size(), 3);
    EXPECT_FALSE(QFile::exists(dir_.filePath(QStringLiteral("notice-queue.txt"))));
}

TEST_F(CardRunTest, DriverWaitingOnlyForEventsMissesNone) {
    // An idle driver looks again only after ten minutes: every step of these runs must come
    // from a worker handing its page in or ending, or from run control.
    RunTiming timing = Timing();
    timing.idleWakeMs = 600000;
    ScopedTiming eventsOnly(timing);
    SetUpPortal();
    RunDriver& run = NewRun();
    run.start();
    ASSERT_TRUE(WaitFor([&] { return LogHas(QStringLiteral("Начинаем работу...")); }, 30000));
    run.Control()->Hold();
    QThread::msleep(static_cast<unsigned long>(timing.detailSpacingMs));
    run.Control()->Continue();
    ASSERT_TRUE(run.wait(60000));
    EXPECT_EQ(Rows().size(), 3);

    // With no threads allowed the driver has nothing to wait for but the stop.
    RunDriver& idle = NewRun(0);
    idle.start();
    ASSERT_TRUE(WaitFor(
        [&] {
            const QStringList log = view_.log();
            return log.size() == 2 && log.last().endsWith(QStringLiteral("Начинаем работу..."));
        },
        30000));
    idle.Control()->Terminate();
    ASSERT_TRUE(idle.wait(30000));
    EXPECT_TRUE(idle.Control()->Done());
}

TEST_F(CardRunTest, RunWithoutRefusalsWritesNoFile) {
    PortalDataSet data;
    data.contracts << MakeContract(QStringLiteral("2770100000126000044"), kFrom.addDays(1), 10);
    portal_.setData(data);
    RunDriver& run = NewRun();
    run.start();
    ASSERT_TRUE(run.wait(60000));
    EXPECT_TRUE(CsvFiles().isEmpty());
    EXPECT_FALSE(LogHas(QStringLiteral("Сбор данных завершен")));
}

}  // namespace

namespace {

// Two searches in StartURL.txt that list the same refusals, between a comment, a blank line and
// a line that is no address: one run walks both, fetches each refusal page once, and gives each
// refusal one row and one notice; the count lines say which search they are, and the bad line
// is named by its number while the others still run.
TEST_F(CardRunTest, TwoSearchesSharingRefusalsGiveEachOneRowAndOneNotice) {
    SetUpPortal();
    ConfigureTelegram();
    const QString search = PortalImitation::StartUrl(replica_.url());
    WriteFile(dir_.filePath(QStringLiteral("StartURL.txt")),
              ("# the region's contracts\r\n" + search + "\r\n\r\nregion two\r\n" + search +
               "&customerPlace=5277335\r\n")
                  .toUtf8());
    RunDriver& run = NewRun();
    run.start();
    ASSERT_TRUE(run.wait(60000));

    EXPECT_EQ(Rows().size(), 3);
    QStringList dates = NoticeDates();
    dates.sort();
    EXPECT_EQ(dates, QStringList({"12.01.2026 14:35", "14.01.2026 10:00", "20.01.2026 09:10"}));
    QStringList rejects;
    for (const replica::Request& request : replica_.requests()) {
        if (request.path() == PortalImitation::kRejectPath) {
            rejects << QString::fromUtf8(request.target);
        }
    }
    EXPECT_EQ(QSet<QString>(rejects.begin(), rejects.end()).size(), rejects.size());
    EXPECT_EQ(rejects.size(), 2);
    const QStringList log = view_.log();
    EXPECT_EQ(log.filter(QStringLiteral(": Поиск 1 из 2: ")).size(), 1);
    EXPECT_EQ(log.filter(QStringLiteral(": Поиск 2 из 2: ")).size(), 1);
    EXPECT_TRUE(LogHas(QStringLiteral("В файле ") + dir_.filePath(QStringLiteral("StartURL.txt")) +
                       QStringLiteral(" строка 4 не адрес http(s): запишите в неё один адрес "
                                      "поиска контрактов на портале закупок, скопированный из "
                                      "адресной строки браузера (начинается с https://)")));
}

TEST_F(CardRunTest, PortalCaFileTrustsOnlyAPortalWhoseCertificateChecksOut) {
    PortalDataSet data = replica::ThreeRefusals();
    data.contracts[1].card.supplier = QStringLiteral("=HYPERLINK(\"http://x.example\",\"ООО\")");
    portal_.setData(data);
    WriteFile(dir_.filePath(QStringLiteral("portal-ca.pem")),
              replica::TestIdentity().certificate.toPem());
    WriteFile(dir_.filePath(QStringLiteral("settings.ini")),
              "[Settings]\r\nPortalCaFile=portal-ca.pem\r\n");
    RunDriver& run = NewRun();
    run.start();
    ASSERT_TRUE(run.wait(60000));
    const QList<QStringList> rows = Rows();
    ASSERT_EQ(rows.size(), 3);
    for (const QStringList& row : rows) {
        if (row[2] == QStringLiteral("'2770100000126000022")) {
            // A spreadsheet opening the file shows the name instead of running it.
            EXPECT_EQ(row[5], QStringLiteral("'=HYPERLINK('http://x.example','ООО')"));
        }
    }

    // The same server under a name its certificate does not give: whoever answers is not
    // taken for the portal, and nothing it serves is written.
    QThread::msleep(1100);
    WriteFile(dir_.filePath(QStringLiteral("StartURL.txt")),
              PortalImitation::StartUrl(replica_.url())
                  .replace(QStringLiteral("127.0.0.1"), QStringLiteral("localhost"))
                  .toUtf8());
    const int requestsBefore = replica_.requests().size();
    RunDriver& impostor = NewRun();
    impostor.start();
    ASSERT_TRUE(impostor.wait(30000));
    EXPECT_EQ(CsvFiles().size(), 1);
    EXPECT_EQ(replica_.requests().size(), requestsBefore);  // the handshake stopped every one
    const RunHealth health = impostor.Outcome().health;
    EXPECT_TRUE(health.Blind());
    EXPECT_EQ(health.cause, QStringLiteral("сертификат портала не прошёл проверку"));
}

}  // namespace
