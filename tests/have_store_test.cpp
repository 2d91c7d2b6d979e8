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

}  // namespace
