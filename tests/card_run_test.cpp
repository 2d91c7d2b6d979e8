// Whole runs through the card phase against the portal imitation: the CSV file a run keeps,
// the rows it writes, and a stop in the middle of the card phase.
#include <gtest/gtest.h>

#include <QDir>
#include <QMultiMap>
#include <QSet>
#include <QTemporaryDir>
#include <QUuid>

#include "PortalImitation.h"
#include "PortalReplica.h"
#include "scraper/HeadlessRunView.h"
#include "scraper/Scraper.h"
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

// Readable QString values in failure messages.
inline void PrintTo(const QString& text, std::ostream* out) {
    *out << '"' << text.toStdString() << '"';
}

namespace {

const QDate kFrom(2026, 1, 1);
const QDate kTo(2026, 1, 31);

class CardRunTest : public ::testing::Test {
protected:
    CardRunTest() : timing_(ScopedTiming::Scaled(20)) {
        replica_.setHandler([this](const Request& request) {
            Response response = portal_.handle(request);
            if (request.path() == PortalImitation::kCardPath && ++cardRequests_ > answeredCards_) {
                response.silent = true;  // no answer until the run is stopped
            }
            return response;
        });
        WriteFile(dir_.filePath(QStringLiteral("StartURL.txt")),
                  PortalImitation::StartUrl(replica_.url()).toUtf8());
    }

    // Two refusals of one contract, a refused contract whose card has a postal-address column,
    // and a contract without a refusal.
    void SetUpPortal() {
        PortalDataSet data;
        ContractRecord twice =
            MakeContract(QStringLiteral("2770100000126000011"), kFrom.addDays(3), 150000);
        AddRefusal(twice, {CustomerRefusal(QStringLiteral("12.01.2026 14:35")),
                           SupplierRefusal(QStringLiteral("20.01.2026 09:10"))});
        ContractRecord postal =
            MakeContract(QStringLiteral("2770100000126000022"), kFrom.addDays(5), 2500000);
        postal.card.postalAddress = QStringLiteral("123456, г. Москва, а/я 7");
        AddRefusal(postal, {CustomerRefusal(QStringLiteral("14.01.2026 10:00"))});
        data.contracts << twice << postal
                       << MakeContract(QStringLiteral("2770100000126000033"), kFrom.addDays(7),
                                       999);
        portal_.setData(data);
    }

    // A run left behind by a failed assertion is stopped, so it cannot keep retrying.
    void TearDown() override {
        if (run_) {
            run_->Terminate();
            run_->wait(30000);
        }
    }

    TScraper& NewRun() {
        run_ = std::make_unique<TScraper>(&view_);
        TScraper* run = run_.get();
        run->ProgramDir = dir_.path();
        run->WorkDir = dir_.path();
        run->MutexName =
            QStringLiteral("QuorvaneTest-") + QUuid::createUuid().toString(QUuid::Id128);
        run->PublishDateFrom = kFrom;
        run->PublishDateTo = kTo;
        return *run;
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
        const QString text = QString::fromUtf8(ReadFile(dir_.filePath(files.first())));
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
    int answeredCards_ = 1000;  // card requests after this many get no answer
    PortalReplica replica_;
    HeadlessRunView view_;
    std::unique_ptr<TScraper> run_;
};

TEST_F(CardRunTest, RunKeepsItsFileWithOneRowPerRefusalAndItsOwnDate) {
    SetUpPortal();
    TScraper& run = NewRun();
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
    TScraper& run = NewRun();
    run.start();
    // Two rows are in the file while the third card hangs.
    ASSERT_TRUE(WaitFor(
        [&] {
            const QStringList files = CsvFiles();
            return files.size() == 1 && ReadFile(dir_.filePath(files.first())).count("\r\n") == 3;
        },
        30000));
    run.Terminate();
    ASSERT_TRUE(run.wait(30000));

    const QList<QStringList> rows = Rows();
    ASSERT_EQ(rows.size(), 2);
    EXPECT_EQ(rows[1].size(), 11);
    EXPECT_TRUE(LogHas(QStringLiteral("Найденные отказы сохранены в файл ") + CsvFiles().first()));
    EXPECT_FALSE(LogHas(QStringLiteral("Сбор данных завершен")));
}

TEST_F(CardRunTest, DriverWaitingOnlyForEventsMissesNone) {
    // An idle driver looks again only after ten minutes: every step of these runs must come
    // from a worker handing its page in or ending, or from run control.
    RunTiming timing = Timing();
    timing.idleWakeMs = 600000;
    ScopedTiming eventsOnly(timing);
    SetUpPortal();
    TScraper& run = NewRun();
    run.start();
    ASSERT_TRUE(WaitFor([&] { return LogHas(QStringLiteral("Начинаем работу...")); }, 30000));
    run.Hold();
    QThread::msleep(static_cast<unsigned long>(timing.detailSpacingMs));
    run.Continue();
    ASSERT_TRUE(run.wait(60000));
    EXPECT_EQ(Rows().size(), 3);

    // With no threads allowed the driver has nothing to wait for but the stop.
    view_.setThreadCount(0);
    TScraper& idle = NewRun();
    idle.start();
    ASSERT_TRUE(WaitFor(
        [&] {
            const QStringList log = view_.log();
            return log.size() == 2 && log.last().endsWith(QStringLiteral("Начинаем работу..."));
        },
        30000));
    idle.Terminate();
    ASSERT_TRUE(idle.wait(30000));
    EXPECT_TRUE(idle.Done());
}

TEST_F(CardRunTest, RunWithoutRefusalsWritesNoFile) {
    PortalDataSet data;
    data.contracts << MakeContract(QStringLiteral("2770100000126000044"), kFrom.addDays(1), 10);
    portal_.setData(data);
    TScraper& run = NewRun();
    run.start();
    ASSERT_TRUE(run.wait(60000));
    EXPECT_TRUE(CsvFiles().isEmpty());
    EXPECT_FALSE(LogHas(QStringLiteral("Сбор данных завершен")));
}

}  // namespace
