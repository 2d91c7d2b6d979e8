// The have.txt store: keys without regard to letter case, the file's layout and encoding, lines
// other processes add, and a file that stays whole when a write fails or is killed; keys
// appended one line at a time by several instances at once.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/resource.h>

#include <QDir>
#include <QProcess>
#include <QTemporaryDir>
#include <QThread>
#include <algorithm>
#include <random>

#include "store/HaveStore.h"
#include "support/TestSupport.h"
#include "text/ByteText.h"
#include "text/RunError.h"

namespace {

class HaveStoreTest : public ::testing::Test {
protected:
    QString path() const { return dir_.filePath(QStringLiteral("have.txt")); }

    QTemporaryDir dir_;
};

TEST_F(HaveStoreTest, KeysDifferingOnlyInCaseAreOneKey) {
    WriteFile(path(), "z#1\nA#2\r\na#2\rb#3\r\n\r\nB#3");
    HaveStore store;
    store.Load(path());
    EXPECT_EQ(store.Lines(), QStringList({"A#2", "b#3", "z#1"}));
    EXPECT_TRUE(store.Contains("a#2"));
    EXPECT_TRUE(store.Contains("Z#1"));
    EXPECT_FALSE(store.Contains("a#3"));

    store.Add(QStringLiteral("Отказ#5"));
    EXPECT_TRUE(store.Contains(QStringLiteral("оТКАЗ#5")));
    store.Add(QStringLiteral("ОТКАЗ#5"));
    EXPECT_EQ(store.Lines().size(), 4);
    store = HaveStore();
    store.Load(path());
    store.Add("Z#1");
    store.Add("c#4");
    store.Add("0#0");
    EXPECT_EQ(store.Lines(), QStringList({"0#0", "A#2", "b#3", "c#4", "z#1"}));
    store.MergeAndWrite(path());
    // Whole, sorted, every line (the last one too) ended by CR LF.
    EXPECT_EQ(ReadFile(path()), "0#0\r\nA#2\r\nb#3\r\nc#4\r\nz#1\r\n");
}

TEST_F(HaveStoreTest, LinesAnotherProcessAddedSurviveTheNextWrite) {
    HaveStore mine;
    mine.Load(path());
    mine.Add("k#2");
    mine.MergeAndWrite(path());

    // Another instance adds its own line between two writes of this one.
    HaveStore other;
    other.Load(path());
    other.Add("k#1");
    other.MergeAndWrite(path());
    QFile raw(path());
    ASSERT_TRUE(raw.open(QIODevice::Append));
    raw.write("K#9 appended\r\n");
    raw.close();

    mine.Add("k#3");
    mine.MergeAndWrite(path());
    EXPECT_EQ(ReadFile(path()), "k#1\r\nk#2\r\nk#3\r\nK#9 appended\r\n");
    EXPECT_TRUE(mine.Contains("k#9 APPENDED"));
}

TEST_F(HaveStoreTest, FileKeepsTheEncodingItWasReadIn) {
    const QString old = QStringLiteral("https://p.test/отказ#01.02.2026 10:00");
    const QString added = QStringLiteral("https://p.test/Отказ-2#02.02.2026 11:00");
    const QString expected = old + "\r\n" + added + "\r\n";
    for (TextEncoding encoding :
         {TextEncoding::Utf8Bom, TextEncoding::Utf16LE, TextEncoding::Utf16BE}) {
        WriteFile(path(), EncodeText(old + "\r\n", encoding));
        HaveStore store;
        store.Load(path());
        store.Add(added);
        store.MergeAndWrite(path());
        const QByteArray bytes = ReadFile(path());
        EXPECT_EQ(bytes, EncodeText(expected, encoding)) << static_cast<int>(encoding);
    }

    // A store that had no file writes one in the system's encoding, without a mark.
    QFile::remove(path());
    HaveStore fresh;
    fresh.Load(path());
    fresh.Add(added);
    fresh.MergeAndWrite(path());
    const QByteArray bytes = ReadFile(path());
    EXPECT_EQ(bytes, EncodeText(added + "\r\n", TextEncoding::System));
    EXPECT_EQ(DecodeText(bytes).encoding, TextEncoding::System);
}

TEST_F(HaveStoreTest, FailedWriteRaisesAndLeavesTheOldFileWhole) {
    const QByteArray old = "old#1\r\n";
    WriteFile(path(), old);
    HaveStore store;
    store.Load(path());
    for (int i = 0; i < 2000; ++i) {
        store.Add(QStringLiteral("https://p.test/reject-info.html?id=%1#01.02.2026").arg(i));
    }

    // A full disk: files of this process may not grow beyond 4 KiB for the write.
    rlimit saved{};
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &saved), 0);
    const auto savedHandler = signal(SIGXFSZ, SIG_IGN);
    rlimit small = saved;
    small.rlim_cur = 4096;
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
    bool raised = false;
    try {
        store.MergeAndWrite(path());
    } catch (const RunError&) {
        raised = true;
    }
    setrlimit(RLIMIT_FSIZE, &saved);
    signal(SIGXFSZ, savedHandler);

    EXPECT_TRUE(raised);
    EXPECT_EQ(ReadFile(path()), old);
    EXPECT_EQ(QDir(dir_.path()).entryList(QDir::Files), QStringList({"have.txt"}));
}

TEST_F(HaveStoreTest, WriterKilledMidwayLeavesTheOldFileWhole) {
    QByteArray old;
    for (int i = 0; i < 300; ++i) {
        old += QStringLiteral("https://p.test/old?id=%1#01.01.2026\r\n").arg(i).toUtf8();
    }
    WriteFile(path(), old);

    // The kernel kills the writer (SIGXFSZ) the moment it writes past 64 KiB of a file: in the
    // middle of writing the new store of about 1.5 MB.
    QProcess writer;
    writer.setChildProcessModifier([] {
        rlimit limit{};
        getrlimit(RLIMIT_FSIZE, &limit);
        limit.rlim_cur = 64 * 1024;
        setrlimit(RLIMIT_FSIZE, &limit);
        signal(SIGXFSZ, SIG_DFL);
    });
    writer.start(QStringLiteral(HAVE_STORE_WRITER), {path(), QStringLiteral("20000")});
    ASSERT_TRUE(writer.waitForFinished(60000));
    ASSERT_EQ(writer.exitStatus(), QProcess::CrashExit);
    EXPECT_TRUE(writer.readAllStandardOutput().isEmpty());

    EXPECT_EQ(ReadFile(path()), old);
    HaveStore store;
    store.Load(path());
    EXPECT_EQ(store.Lines().size(), 300);

    // Without the limit the same writer completes the new file.
    QProcess again;
    again.start(QStringLiteral(HAVE_STORE_WRITER), {path(), QStringLiteral("20000")});
    ASSERT_TRUE(again.waitForFinished(60000));
    EXPECT_EQ(again.readAllStandardOutput(), "written\n");
    store.Load(path());
    EXPECT_EQ(store.Lines().size(), 20300);
}

TEST_F(HaveStoreTest, OddContentSurvivesTheNextWriteByteForByte) {
    // NUL bytes, a 1 MB line, a line in another encoding (CP1251) beside UTF-8, every kind of
    // line end.
    const QByteArray megabyte = "https://p.test/x#" + QByteArray(1024 * 1024, 'm');
    const QList<QByteArray> lines = {
        QByteArray("a\x00nul#1", 7), megabyte, "b\xCE\xF2\xEA\xE0\xE7#2", "c\xD0\x9E#3", "d#4",
    };
    WriteFile(path(),
              lines[0] + "\r" + lines[1] + "\n" + lines[2] + "\r\n" + lines[3] + "\n\r" + lines[4]);
    HaveStore store;
    store.Load(path());
    EXPECT_EQ(store.Lines().size(), lines.size());
    EXPECT_TRUE(store.Contains(QStringLiteral("c\u041E#3")));
    store.Add(QStringLiteral("e#5"));
    store.MergeAndWrite(path());

    const QByteArray written = ReadFile(path());
    for (const QByteArray& line : lines) {
        EXPECT_TRUE(written.contains(line + "\r\n")) << line.left(20).toStdString();
    }
    EXPECT_TRUE(written.contains("\r\ne#5\r\n"));
    // Read again, the store finds the same keys: a second write changes nothing.
    HaveStore again;
    again.Load(path());
    again.MergeAndWrite(path());
    EXPECT_EQ(ReadFile(path()), written);
}

TEST_F(HaveStoreTest, AppendedKeysReachTheOtherInstancesInTheFilesEncoding) {
    // A file in UTF-16 whose last line has no line end, as an editor may leave it.
    const TextEncoding utf16 = TextEncoding::Utf16LE;
    WriteFile(path(), EncodeText(QStringLiteral("b#2\r\nA#1"), utf16));
    HaveStore mine;
    mine.Load(path());
    HaveStore other;
    other.Load(path());

    mine.Append(path(), QStringLiteral("Отказ#3"));
    other.Append(path(), QStringLiteral("c#4"));
    EXPECT_TRUE(other.Contains(QStringLiteral("отказ#3")));
    mine.Append(path(), QStringLiteral("C#4"));  // already there, in another letter case
    EXPECT_EQ(ReadFile(path()),
              EncodeText(QStringLiteral("b#2\r\nA#1\r\nОтказ#3\r\nc#4\r\n"), utf16));

    // An instance that rewrites the file whole; then a line half written by a killed writer.
    HaveStore rewriter;
    rewriter.Load(path());
    rewriter.Add(QStringLiteral("d#5"));
    rewriter.MergeAndWrite(path());
    QFile raw(path());
    ASSERT_TRUE(raw.open(QIODevice::Append));
    raw.write(EncodeText(QStringLiteral("e#"), utf16).mid(2));
    raw.close();
    mine.Append(path(), QStringLiteral("f#6"));
    EXPECT_TRUE(mine.Contains(QStringLiteral("D#5")));
    EXPECT_EQ(
        ReadFile(path()),
        EncodeText(QStringLiteral("A#1\r\nb#2\r\nc#4\r\nd#5\r\nОтказ#3\r\ne#\r\nf#6\r\n"), utf16));

    HaveStore reader;
    reader.Load(path());
    EXPECT_EQ(reader.Lines(),
              QStringList({"A#1", "b#2", "c#4", "d#5", "e#", "f#6", QStringLiteral("Отказ#3")}));
}

TEST_F(HaveStoreTest, FileEditedByHandIsRewrittenInFormOnceThenAppendedTo) {
    WriteFile(path(), "b#2\na#1\r\nB#2\r\n");  // a bare LF, a key twice
    HaveStore store;
    store.Load(path());
    store.Append(path(), QStringLiteral("c#3"));
    EXPECT_EQ(ReadFile(path()), "a#1\r\nb#2\r\nc#3\r\n");
    store.Append(path(), QStringLiteral("0#4"));
    EXPECT_EQ(ReadFile(path()), "a#1\r\nb#2\r\nc#3\r\n0#4\r\n");
}

TEST_F(HaveStoreTest, AppendOnAFullDiskLeavesTheFileAsItWas) {
    const QByteArray old = "old#1\r\n";
    WriteFile(path(), old);
    HaveStore store;
    store.Load(path());

    // The disk fills up in the middle of the new line.
    rlimit saved{};
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &saved), 0);
    const auto savedHandler = signal(SIGXFSZ, SIG_IGN);
    rlimit small = saved;
    small.rlim_cur = static_cast<rlim_t>(old.size() + 4);
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
    EXPECT_THROW(store.Append(path(), QStringLiteral("https://p.test/new#02.02.2026")), RunError);
    setrlimit(RLIMIT_FSIZE, &saved);
    signal(SIGXFSZ, savedHandler);
    EXPECT_EQ(ReadFile(path()), old);

    store.Append(path(), QStringLiteral("https://p.test/next#03.02.2026"));
    EXPECT_EQ(ReadFile(path()), old + "https://p.test/next#03.02.2026\r\n");
}

TEST_F(HaveStoreTest, InstancesAppendingAndRewritingAtOnceLoseNoKey) {
    WriteFile(path(), "start#0\r\n");
    constexpr int kKeys = 300;
    QList<QProcess*> writers;
    for (const char* prefix : {"a#", "b#", "c#"}) {
        auto* writer = new QProcess;
        writer->start(QStringLiteral(HAVE_STORE_WRITER),
                      {path(), QString::number(kKeys), QString::fromLatin1(prefix)});
        writers.append(writer);
    }
    // Meanwhile an instance of the kind that rewrites the whole file for every key.
    HaveStore rewriter;
    rewriter.Load(path());
    for (int i = 0; i < 30; ++i) {
        rewriter.Add(QStringLiteral("r#%1").arg(i));
        rewriter.MergeAndWrite(path());
    }
    for (QProcess* writer : writers) {
        EXPECT_TRUE(writer->waitForFinished(120000));
        EXPECT_EQ(writer->readAllStandardOutput(), "appended\n");
        delete writer;
    }

    HaveStore store;
    store.Load(path());
    EXPECT_EQ(store.Lines().size(), 1 + 3 * kKeys + 30);
    const QByteArray bytes = ReadFile(path());
    EXPECT_TRUE(bytes.endsWith("\r\n"));
    EXPECT_EQ(bytes.count("\r\n"), bytes.count('\n'));
}

// The order and sameness of keys as text: UTF-16 units compared one by one, each folded alone.
int TextOrder(const QString& a, const QString& b) {
    for (qsizetype i = 0; i < std::min(a.size(), b.size()); ++i) {
        const char32_t x = QChar::toCaseFolded(char32_t(a[i].unicode()));
        const char32_t y = QChar::toCaseFolded(char32_t(b[i].unicode()));
        if (x != y) {
            return x < y ? -1 : 1;
        }
    }
    return a.size() < b.size() ? -1 : (a.size() > b.size() ? 1 : 0);
}

// Keys met three ways: read from a UTF-8 file, from a UTF-16 file, and added in memory beyond
// the count at which added keys join the ones read.
QList<HaveStore> StoresHolding(const QString& path, const QStringList& keys) {
    QList<HaveStore> stores(3);
    const QString text = keys.join(QStringLiteral("\r\n"));
    WriteFile(path, EncodeText(text, TextEncoding::System));
    stores[0].Load(path);
    WriteFile(path, EncodeText(text, TextEncoding::Utf16BE));
    stores[1].Load(path);
    QFile::remove(path);
    stores[2].Load(path);
    for (const QString& key : keys) {
        stores[2].Add(key);
    }
    for (int i = 0; i < 5000; ++i) {
        stores[2].Add(QStringLiteral("zz#%1").arg(i));
    }
    return stores;
}

TEST_F(HaveStoreTest, LetterCaseBeyondAsciiIsFoldedUnitByUnit) {
    const QChar notUtf8(0xDCCE);  // the byte 0xCE of a line that is not UTF-8
    const QStringList keys = {
        QStringLiteral("ПРИМЕР#1"), QStringLiteral("ΣΟΦΊΑΣ#2"),     QStringLiteral("k#3"),
        QStringLiteral("ſ#4"),      QStringLiteral("\U00010400#5"), QString(notUtf8) + "#6",
        QStringLiteral("İ#7"),      QStringLiteral("straße#8"),
    };
    for (const HaveStore& store : StoresHolding(path(), keys)) {
        EXPECT_TRUE(store.Contains(QStringLiteral("пРиМеР#1")));
        EXPECT_TRUE(store.Contains(QStringLiteral("σοφίας#2")));  // a final sigma too
        EXPECT_TRUE(store.Contains(QStringLiteral("\u212A#3")));  // the Kelvin sign
        EXPECT_TRUE(store.Contains(QStringLiteral("S#4")));
        // A letter beyond 16 bits is two units that fold alone: its small letter is another key.
        EXPECT_TRUE(store.Contains(QStringLiteral("\U00010400#5")));
        EXPECT_FALSE(store.Contains(QStringLiteral("\U00010428#5")));
        EXPECT_TRUE(store.Contains(QString(notUtf8) + "#6"));
        EXPECT_FALSE(store.Contains(QString(QChar(0xDCEE)) + "#6"));
        EXPECT_FALSE(store.Contains(QStringLiteral("i#7")));
        EXPECT_TRUE(store.Contains(QStringLiteral("STRAẞE#8")));
        EXPECT_FALSE(store.Contains(QStringLiteral("STRASSE#8")));
    }

    // Sorted by units, not by code points: a letter beyond 16 bits before U+E000 and up.
    const QStringList order = {QStringLiteral("xz"), QStringLiteral("xЯ"),
                               QStringLiteral("x\U00010400"), QStringLiteral("x") + notUtf8,
                               QStringLiteral("xＡ")};
    for (HaveStore& store : StoresHolding(
             path(), {order[4], order[2], order[0], order[3], order[1], QStringLiteral("XЯ")})) {
        EXPECT_EQ(store.Lines().mid(0, 5), order);
        EXPECT_FALSE(store.Lines().contains(QStringLiteral("XЯ")));
    }
}

TEST_F(HaveStoreTest, KeysThatBeginOtherKeysStayApart) {
    WriteFile(path(), QByteArray("a#10\r\nA#1\r\na\r\na#1\0\r\na#\r\nB#1\r\na#1\r\n", 32));
    HaveStore store;
    store.Load(path());
    const QString nul = QStringLiteral("a#1") + QChar(0);
    EXPECT_EQ(store.Lines(), QStringList({"a", "a#", "A#1", nul, "a#10", "B#1"}));
    for (const char* key : {"a", "a#", "a#1", "A#10", "b#1"}) {
        EXPECT_TRUE(store.Contains(key)) << key;
    }
    EXPECT_TRUE(store.Contains(nul));
    for (const char* key : {"", "#", "a#2", "a#100", "a#0", "b#"}) {
        EXPECT_FALSE(store.Contains(key)) << key;
    }
}

TEST_F(HaveStoreTest, PageLookupFindsOnlyThatPage) {
    const QString page = QStringLiteral("https://p.test/epz/rdik/card/reject-info.html?id=");
    // Beside page 12: pages that begin with its address, and ones that sort next to "12#".
    WriteFile(path(), (page + "123#01.02.2026 10:00\r\n" + page + "12!#x\r\n" + page + "12$#y\r\n" +
                       page + "9#z\r\n")
                          .toUtf8());
    HaveStore store;
    store.Load(path());
    EXPECT_FALSE(store.ContainsPage(page + "12"));
    EXPECT_FALSE(store.ContainsPage(page + "1"));
    EXPECT_FALSE(store.ContainsPage(page));
    EXPECT_TRUE(store.ContainsPage(page.toUpper() + "123"));
    EXPECT_TRUE(store.ContainsPage(page + "9"));  // the last key
    EXPECT_TRUE(store.KeysOfPage(page + "12").isEmpty());

    store.Append(path(), page + "12#02.02.2026 11:00");
    store.Add(page.toUpper() + "12#01.02.2026 11:00");
    store.Add(page + "12#03.02.2026 11:00");
    EXPECT_TRUE(store.ContainsPage(page + "12"));
    EXPECT_EQ(store.KeysOfPage(page + "12"),
              QStringList({page.toUpper() + "12#01.02.2026 11:00", page + "12#02.02.2026 11:00",
                           page + "12#03.02.2026 11:00"}));
    HaveStore reader;
    reader.Load(path());
    EXPECT_EQ(reader.KeysOfPage(page.toUpper() + "12"),
              QStringList({page + "12#02.02.2026 11:00"}));
}

TEST_F(HaveStoreTest, FilesInOtherEncodingsReadAsTheirText) {
    // UTF-16 out of order, a key twice in other letters, a lone surrogate, a mark inside, and a
    // last odd byte, which is no text.
    const QString lone = QString(QChar(0xD800)) + "d#4";
    WriteFile(path(), EncodeText(QStringLiteral("б#2\r\nА#1\r\nБ#2\r\n\uFEFFc#3\r\n") + lone,
                                 TextEncoding::Utf16BE) +
                          "\x01");
    HaveStore store;
    store.Load(path());
    const QStringList sorted = {QStringLiteral("А#1"), QStringLiteral("б#2"), lone,
                                QStringLiteral("\uFEFFc#3")};
    EXPECT_EQ(store.Lines(), sorted);
    EXPECT_TRUE(store.Contains(QStringLiteral("а#1")));
    EXPECT_TRUE(store.Contains(QString(QChar(0xD800)) + "D#4"));
    store.MergeAndWrite(path());
    EXPECT_EQ(ReadFile(path()), EncodeText(sorted.join("\r\n") + "\r\n", TextEncoding::Utf16BE));

    // Another instance replaces the file in another encoding: the spellings held here win.
    WriteFile(path(), "a#1\r\nБ#2\r\n");
    HaveStore mine;
    mine.Load(path());
    mine.Add(QStringLiteral("C#3"));
    QString error;
    ASSERT_TRUE(WriteFileAtomically(
        path(), EncodeText(QStringLiteral("б#2\r\nc#3\r\n"), TextEncoding::Utf16LE), &error));
    mine.MergeAndWrite(path());
    EXPECT_EQ(ReadFile(path()),
              EncodeText(QStringLiteral("a#1\r\nC#3\r\nБ#2\r\n"), TextEncoding::Utf16LE));
}

TEST_F(HaveStoreTest, ManyKeysSortAndLookUpAsTheirTextWould) {
    // Keys of pieces that share long beginnings, differ in letter case (ASCII and beyond), begin
    // one another, and hold bytes that are not UTF-8.
    const QList<QByteArray> pieces = {"https://p.test/card?id=",
                                      "HTTPS://P.TEST/CARD?ID=",
                                      "1",
                                      "2",
                                      "#",
                                      "Я",
                                      "я",
                                      "ß",
                                      "ẞ",
                                      "\xE2\x84\xAA",
                                      "k",
                                      "\xF0\x90\x90\x80",
                                      "\xCE",
                                      "\xEE",
                                      QByteArray(1, '\0'),
                                      "0123456789abcdef"};
    std::mt19937 random(5);
    const auto randomKey = [&] {
        QByteArray key;
        for (int n = 1 + int(random() % 8); n > 0; --n) {
            key += pieces[int(random() % pieces.size())];
        }
        return key;
    };
    QByteArray file;
    for (int i = 0; i < 3000; ++i) {
        file += randomKey() + "\r\n";
    }
    const auto less = [](const QString& a, const QString& b) { return TextOrder(a, b) < 0; };
    const auto same = [](const QString& a, const QString& b) { return TextOrder(a, b) == 0; };
    const auto expected = [&](const QStringList& lines) {
        QStringList keys = lines;
        keys.removeAll(QString());
        std::stable_sort(keys.begin(), keys.end(), less);
        keys.erase(std::unique(keys.begin(), keys.end(), same), keys.end());
        return keys;
    };
    const QStringList keys = expected(SplitLines(DecodeText(file).text));

    // Out of order, and in order as a rewrite leaves it; in UTF-8 and in UTF-16.
    for (const QByteArray& bytes : {file, EncodeText(keys.join("\r\n"), TextEncoding::System),
                                    EncodeText(DecodeText(file).text, TextEncoding::Utf16LE)}) {
        WriteFile(path(), bytes);
        HaveStore store;
        store.Load(path());
        ASSERT_EQ(store.Lines(), keys);
        for (int i = 0; i < 2000; ++i) {
            const QString key = DecodeText(randomKey()).text;
            const QString pageKey = key + "#";
            EXPECT_EQ(store.Contains(key), std::binary_search(keys.begin(), keys.end(), key, less));
            EXPECT_EQ(store.ContainsPage(key), std::any_of(keys.begin(), keys.end(), [&](auto& k) {
                          return same(k.left(pageKey.size()), pageKey);
                      }));
        }
        // Enough added keys to join the ones read, then written and read again.
        QStringList all = keys;
        for (int i = 0; i < 5000; ++i) {
            const QString key = DecodeText(randomKey()).text;
            store.Add(key);
            all.append(key);
        }
        ASSERT_EQ(store.Lines(), expected(all));
        store.MergeAndWrite(path());
        HaveStore again;
        again.Load(path());
        EXPECT_EQ(again.Lines(), store.Lines());
    }
}

}  // namespace

TEST_F(HaveStoreTest, AKeyCutShortIsCutOffNotMadeAKeyOfItsOwn) {
    const QString key = QStringLiteral("https://h/p?id=5#10.01.2026 10:05");
    // Appended by a run that was exporting `key` when the power went, with its line half written.
    WriteFile(path(), "a#1\r\nhttps://h/p?id=5#10.01.2026 10");
    HaveStore store;
    store.Load(path());
    store.CutTornLine(path(), {QStringLiteral("other#2"), key});
    EXPECT_EQ(ReadFile(path()), "a#1\r\n");
    EXPECT_FALSE(store.Contains(QStringLiteral("https://h/p?id=5#10.01.2026 10")));
    EXPECT_FALSE(store.ContainsPage(QStringLiteral("https://h/p?id=5")));
    store.Append(path(), QStringLiteral("b#2"));
    store.Append(path(), key);
    EXPECT_EQ(ReadFile(path()), "a#1\r\nb#2\r\n" + key.toUtf8() + "\r\n");

    // A piece that begins every key, of refusals whose lines are whole above it too.
    const QString above = QStringLiteral("https://h/p?id=4#10.01.2026 10:04");
    WriteFile(path(), above.toUtf8() + "\r\nhttps://h/p?i");
    store = HaveStore();
    store.Load(path());
    store.CutTornLine(path(), {above, key});
    EXPECT_TRUE(store.Contains(above));
    store.Append(path(), above);
    store.Append(path(), key);
    EXPECT_EQ(ReadFile(path()), above.toUtf8() + "\r\n" + key.toUtf8() + "\r\n");

    // The whole key without its line end is taken off too, and comes back with its export.
    WriteFile(path(), "a#1\r\n" + key.toUtf8());
    store = HaveStore();
    store.Load(path());
    store.CutTornLine(path(), {key});
    EXPECT_FALSE(store.Contains(key));
    store.Append(path(), key);
    EXPECT_EQ(ReadFile(path()), "a#1\r\n" + key.toUtf8() + "\r\n");

    // A last line a hand edit left without its line end is no export's: it stays a key.
    WriteFile(path(), "a#1\r\nc#3");
    store = HaveStore();
    store.Load(path());
    store.CutTornLine(path(), {key});
    store.Append(path(), QStringLiteral("d#4"));
    EXPECT_EQ(ReadFile(path()), "a#1\r\nc#3\r\nd#4\r\n");
    EXPECT_TRUE(store.Contains(QStringLiteral("c#3")));
}
