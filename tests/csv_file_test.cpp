// The CSV export: rows read from the replica's contract cards, and the file itself.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/resource.h>

#include <QDateTime>
#include <QDir>
#include <QRegularExpression>
#include <QTemporaryDir>

#include "CardPages.h"
#include "run/CardRow.h"
#include "store/CsvFile.h"
#include "support/TestSupport.h"
#include "text/RunError.h"

namespace {

const QString kNbsp = QString(QChar(0x00A0));
const QString kUrl = QStringLiteral(
    "https://127.0.0.1/epz/contract/contractCard/"
    "common-info.html?reestrNumber=2770100123424000015");

CardData SampleCard() {
    CardData card;
    card.registryId = QStringLiteral("2770100123424000015");
    card.subject = QStringLiteral("Поставка бумаги &laquo;Снегурочка&raquo; для нужд \"школы\"");
    card.customer = QStringLiteral("ГБОУ &quot;Школа № 1&quot;");
    card.supplier = QStringLiteral("ООО \"Ромашка\"");
    card.supplierInn = QStringLiteral("7701234567");
    card.supplierAddress = QStringLiteral("г. Москва, ул. Ленина, д. 1");
    card.price =
        QStringLiteral("1") + kNbsp + QStringLiteral("234") + kNbsp + QStringLiteral("567,89");
    card.contactCell = QStringLiteral(" +7 (495) 000-00-00 <br> info@romashka.ru ");
    return card;
}

QStringList Fields(const QString& row) {
    EXPECT_TRUE(row.startsWith(QLatin1Char('"')) && row.endsWith(QLatin1Char('"')));
    return row.mid(1, row.size() - 2).split(QStringLiteral("\";\""));
}

QStringList RowOf(const CardData& card, const QString& date = QStringLiteral("09.03.2025 14:05")) {
    return Fields(CardRow(QString::fromUtf8(RenderCardPage(card)), kUrl, date));
}

TEST(CardRowTest, ColumnsFromACardWithoutThePostalAddressColumn) {
    EXPECT_EQ(RowOf(SampleCard()),
              (QStringList{"09.03.2025", "Поставка бумаги 'Снегурочка' для нужд 'школы'",
                           "'2770100123424000015", kUrl, "ГБОУ 'Школа № 1'", "ООО 'Ромашка'",
                           "г. Москва, ул. Ленина, д. 1", "7701234567", "1234567,89",
                           "+7 (495) 000-00-00", "info@romashka.ru"}));
}

TEST(CardRowTest, CharacterReferencesAreDecodedBeforeQuotesBecomeApostrophes) {
    CardData card = SampleCard();
    card.subject = QStringLiteral(
        "<b>Поставка&nbsp;&#0171;бумаги&#187;</b> &amp; &lt;картриджей&gt; &#8381; &#x1F4C4;");
    card.customer = QStringLiteral(
        "ГОСУДАРСТВЕННОЕ БЮДЖЕТНОЕ УЧРЕЖДЕНИЕ ЗДРАВООХРАНЕНИЯ ГОРОДА МОСКВЫ &#034;ДЕТСКАЯ "
        "ГОРОДСКАЯ ПОЛИКЛИНИКА № 28 ДЕПАРТАМЕНТА ЗДРАВООХРАНЕНИЯ ГОРОДА МОСКВЫ&#034;");
    card.supplier = QStringLiteral("ООО &#x22;Ромашка&#X22; &apos;Плюс&apos; &hellip;&unknown;");
    card.price = QStringLiteral("1&#160;234,00");
    card.contactCell = QStringLiteral("&#43;7 900 000-00-00<br>info&#64;romashka.ru");
    const QStringList row = RowOf(card);
    ASSERT_EQ(row.size(), 11);
    EXPECT_EQ(row[1], "Поставка «бумаги» & <картриджей> ₽ \U0001F4C4");
    EXPECT_EQ(row[4],
              "ГОСУДАРСТВЕННОЕ БЮДЖЕТНОЕ УЧРЕЖДЕНИЕ ЗДРАВООХРАНЕНИЯ ГОРОДА МОСКВЫ 'ДЕТСКАЯ "
              "ГОРОДСКАЯ ПОЛИКЛИНИКА № 28 ДЕПАРТАМЕНТА ЗДРАВООХРАНЕНИЯ ГОРОДА МОСКВЫ'");
    EXPECT_EQ(row[5], "ООО 'Ромашка' 'Плюс' …&unknown;");
    EXPECT_EQ(row[8], "1234,00");
    EXPECT_EQ(row[9], "+7 900 000-00-00");
    EXPECT_EQ(row[10], "info@romashka.ru");
}

TEST(CardRowTest, PostalAddressColumnMovesTheContactsOneCellOn) {
    CardData card = SampleCard();
    card.postalAddress = QStringLiteral("123456, г. Москва, а/я 5");
    const QStringList row = RowOf(card);
    ASSERT_EQ(row.size(), 11);
    EXPECT_EQ(row[6], "г. Москва, ул. Ленина, д. 1");
    EXPECT_EQ(row[9], "+7 (495) 000-00-00");
    EXPECT_EQ(row[10], "info@romashka.ru");
}

TEST(CardRowTest, ContactCellsWithNoneOrTwoBreaks) {
    CardData card = SampleCard();
    card.contactCell = QStringLiteral("+7 900 000-00-00");
    QStringList row = RowOf(card);
    EXPECT_EQ(row[9], "");
    EXPECT_EQ(row[10], "");
    card.contactCell = QStringLiteral("+7 900 000-00-00<br>a@b.ru<br>c@d.ru");
    row = RowOf(card);
    EXPECT_EQ(row[9], "+7 900 000-00-00");
    EXPECT_EQ(row[10], "a@b.ru<br>c@d.ru");
}

TEST(CardRowTest, QuotesInEveryFieldBecomeApostrophes) {
    // Fields that are not cleaned as names still cannot break the row's quoting.
    CardData card = SampleCard();
    card.supplierAddress = QStringLiteral("дом \"Б\"");
    card.supplierInn = QStringLiteral("77\"01");
    card.contactCell = QStringLiteral("\"+7\"<br>\"a@b.ru\"");
    const QString row = CardRow(QString::fromUtf8(RenderCardPage(card)), kUrl, "01.02.2025");
    const QStringList fields = Fields(row);
    ASSERT_EQ(fields.size(), 11);
    EXPECT_EQ(row.count(QLatin1Char('"')), 22);
    EXPECT_EQ(fields[6], "дом 'Б'");
    EXPECT_EQ(fields[7], "77'01");
    EXPECT_EQ(fields[9], "'+7'");
    EXPECT_EQ(fields[10], "'a@b.ru'");
}

TEST(CardRowTest, PageTextThatStartsLikeAFormulaIsKeptAsText) {
    CardData card = SampleCard();
    card.subject = QStringLiteral("-2+3");
    card.customer = QStringLiteral("@SUM(A1:A9)");
    card.supplier = QStringLiteral("=HYPERLINK(\"http://x.example\")");
    card.supplierAddress = QStringLiteral("+1");
    card.supplierInn = QStringLiteral("=1");
    card.contactCell = QStringLiteral("+7 HYPERLINK(1)<br>=cmd|' /C calc'!A0");
    card.price = QStringLiteral("-1\u00A0234,50");
    QStringList fields = RowOf(card, "01.02.2025");
    ASSERT_EQ(fields.size(), 11);
    EXPECT_EQ(fields[1], "'-2+3");
    EXPECT_EQ(fields[4], "'@SUM(A1:A9)");
    EXPECT_EQ(fields[5], "'=HYPERLINK('http://x.example')");
    EXPECT_EQ(fields[6], "'+1");
    EXPECT_EQ(fields[7], "'=1");
    EXPECT_EQ(fields[9], "'+7 HYPERLINK(1)");
    EXPECT_EQ(fields[10], "'=cmd|' /C calc'!A0");
    // The program's own cells, and a price that is a number, stay as they are; so does a phone
    // (the other tests' "+7 900 …").
    EXPECT_EQ(fields[0], "01.02.2025");
    EXPECT_EQ(fields[2], "'2770100123424000015");
    EXPECT_EQ(fields[3], kUrl);
    EXPECT_EQ(fields[8], "-1234,50");

    card.price = QStringLiteral("-1+cmd");
    EXPECT_EQ(RowOf(card, "01.02.2025")[8], "'-1+cmd");
}

TEST(CardRowTest, PageWithoutMarkersStillGivesElevenFields) {
    EXPECT_EQ(Fields(CardRow(QStringLiteral("<html>Страница недоступна</html>"),
                             QStringLiteral("https://127.0.0.1/common-info.html"), QString())),
              (QStringList{"", "", "'", "https://127.0.0.1/common-info.html", "", "", "", "", "",
                           "", ""}));
}

// The CSV file in a folder of its own, named as a run names it.
class CsvFileTest : public ::testing::Test {
protected:
    static QString Stem(const QDateTime& when = QDateTime::currentDateTime()) {
        return when.toString(QStringLiteral("yyyyMMdd HH-mm-ss"));
    }

    QStringList CsvFiles() const {
        return QDir(dir_.path()).entryList({QStringLiteral("*.csv")}, QDir::Files);
    }

    QTemporaryDir dir_;
};

const QByteArray kHeader =
    "\xEF\xBB\xBF\"Дата уведомления\";\"Предмет контракта\";\"№ контракта\";\"Ссылка\";"
    "\"Заказчик\";\"Поставщик\";\"Адрес поставщика\";\"ИНН поставщика\";\"Цена контракта\";"
    "\"Рабочий телефон\";\"Рабочий e-mail\"\r\n";

TEST_F(CsvFileTest, FileStartsWithTheMarkAndHeaderAndIsKeptWithItsNameLogged) {
    CsvFile csv(dir_.path(), Stem());
    csv.Create(CardHeaderLine());
    const QStringList files = CsvFiles();
    ASSERT_EQ(files.size(), 1);
    EXPECT_EQ(files.first(), csv.FileName());
    EXPECT_TRUE(QRegularExpression(QStringLiteral(R"(^\d{8} \d\d-\d\d-\d\d\.csv$)"))
                    .match(csv.FileName())
                    .hasMatch());
    const QString path = dir_.filePath(csv.FileName());
    // Written at once, before any row.
    EXPECT_EQ(ReadFile(path), kHeader);

    EXPECT_EQ(csv.Path(), path);
    csv.Append(CardRow(QString::fromUtf8(RenderCardPage(SampleCard())), kUrl, "09.03.2025 14:05"));
    EXPECT_EQ(ReadFile(path).count("\r\n"), 2);
    csv.Close(true);
    csv.Close(false);  // a second close does nothing

    EXPECT_TRUE(ReadFile(path).startsWith(kHeader));
    EXPECT_TRUE(ReadFile(path).endsWith("\"info@romashka.ru\"\r\n"));
}

TEST_F(CsvFileTest, WithoutNewRefusalsTheFileIsDeleted) {
    CsvFile csv(dir_.path(), Stem());
    csv.Create(CardHeaderLine());
    ASSERT_EQ(CsvFiles().size(), 1);
    csv.Close(false);
    EXPECT_TRUE(CsvFiles().isEmpty());
}

TEST_F(CsvFileTest, NameTakenByAnotherInstanceGetsTheNextFreeOne) {
    // Another instance's files of this second and the next ones, so the names meet.
    const QDateTime now = QDateTime::currentDateTime();
    QStringList theirs;
    for (int second = 0; second < 3; ++second) {
        theirs << now.addSecs(second).toString(QStringLiteral("yyyyMMdd HH-mm-ss"));
        WriteFile(dir_.filePath(theirs.last() + QStringLiteral(".csv")), "theirs");
    }
    CsvFile csv(dir_.path(), Stem(now));
    csv.Create(CardHeaderLine());
    EXPECT_TRUE(theirs.contains(csv.FileName().chopped(8)) &&
                csv.FileName().endsWith(QStringLiteral(" (2).csv")))
        << csv.FileName().toStdString();
    for (const QString& name : theirs) {
        EXPECT_EQ(ReadFile(dir_.filePath(name + QStringLiteral(".csv"))), "theirs");
    }
}

TEST_F(CsvFileTest, UncreatableFileFails) {
    CsvFile csv(dir_.filePath(QStringLiteral("missing/folder")), Stem());
    EXPECT_THROW(csv.Create(CardHeaderLine()), RunError);
}

TEST_F(CsvFileTest, AHeaderThatCannotBeWrittenLeavesNoFile) {
    // A full disk: no file of this process may grow beyond 10 bytes.
    rlimit saved{};
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &saved), 0);
    const auto savedHandler = signal(SIGXFSZ, SIG_IGN);
    rlimit small = saved;
    small.rlim_cur = 10;
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
    bool raised = false;
    try {
        CsvFile csv(dir_.path(), Stem());
        csv.Create(CardHeaderLine());
    } catch (const RunError&) {
        raised = true;
    }
    setrlimit(RLIMIT_FSIZE, &saved);
    signal(SIGXFSZ, savedHandler);
    EXPECT_TRUE(raised);
    EXPECT_TRUE(CsvFiles().isEmpty());
}

}  // namespace

TEST_F(CsvFileTest, ARowCutShortIsCutOffAndWholeRowsNever) {
    CsvFile csv(dir_.path(), Stem());
    csv.Create(CardHeaderLine());
    const QString row =
        CardRow(QString::fromUtf8(RenderCardPage(SampleCard())), kUrl, "09.03.2025 14:05");
    csv.Append(row);
    const qint64 offset = csv.Size();
    csv.Append(row);
    csv.Close(true);
    const QString path = csv.Path();
    const QByteArray whole = ReadFile(path);

    // A whole last row, and one past the end, stay.
    EXPECT_FALSE(CsvFile::CutTornLastLine(path, offset));
    EXPECT_FALSE(CsvFile::CutTornLastLine(path, whole.size()));
    EXPECT_EQ(ReadFile(path), whole);
    // Cut short by a power cut: half the row, then all but its line end.
    for (const qint64 left : {(whole.size() - offset) / 2, whole.size() - offset - 2}) {
        WriteFile(path, whole.left(offset + left));
        EXPECT_TRUE(CsvFile::CutTornLastLine(path, offset));
        EXPECT_EQ(ReadFile(path), whole.left(offset));
    }
    // The offset of a row that was never written, with a whole one there now.
    WriteFile(path, whole);
    EXPECT_FALSE(CsvFile::CutTornLastLine(path, offset - 3));
    EXPECT_EQ(ReadFile(path), whole);
}
