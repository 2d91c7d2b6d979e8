#include <gtest/gtest.h>
#include <sys/resource.h>

#include <QDir>
#include <QFileInfo>
#include <QTemporaryDir>
#include <csignal>

#include "support/TestSupport.h"
#include "text/ByteText.h"

namespace {

QByteArray AllByteValues() {
    QByteArray bytes;
    for (int b = 0; b < 256; ++b) {
        bytes.append(static_cast<char>(b));
    }
    return bytes;
}

TEST(StreamToTextTest, CountsAndAbsentStreams) {
    const QByteArray body("HTTP body");
    EXPECT_EQ(StreamToText(nullptr, 5), "");
    const QByteArray empty;
    EXPECT_EQ(StreamToText(&empty, 0), "");
    EXPECT_EQ(StreamToText(&body, 0), "HTTP body");
    EXPECT_EQ(StreamToText(&body, 1000), "HTTP body");
    EXPECT_EQ(StreamToText(&body, 4), "HTTP");
    EXPECT_EQ(StreamToText(&body, -1), "");
}

TEST(StreamToTextTest, EveryByteIsOneCharacterAndComesBackUnchanged) {
    const QByteArray bytes = AllByteValues();
    const QString text = StreamToText(&bytes, bytes.size());
    ASSERT_EQ(text.size(), 256);
    for (int b = 0; b < 256; ++b) {
        EXPECT_EQ(text.at(b).unicode(), b);
    }
    EXPECT_EQ(TextToStream(text), bytes);
}

TEST(StreamToTextTest, PageIsDecodedAsUtf8AfterTheRoundTrip) {
    const QByteArray body = QString("<title>Реестр контрактов</title>").toUtf8();
    const QString byteText = StreamToText(&body, body.size());
    // The ASCII markers the worker checks are found in the byte text as they are.
    EXPECT_TRUE(byteText.startsWith("<title>"));
    EXPECT_TRUE(byteText.endsWith("</title>"));
    EXPECT_EQ(DecodePage(byteText), "<title>Реестр контрактов</title>");
}

TEST(TextEncodingTest, ByteOrderMarksSelectTheEncoding) {
    EXPECT_EQ(DecodeText(QByteArray("\xFF\xFE"
                                    "a\0",
                                    4))
                  .encoding,
              TextEncoding::Utf16LE);
    EXPECT_EQ(DecodeText(QByteArray("\xFE\xFF\0a", 4)).text, "a");
    EXPECT_EQ(DecodeText(QByteArray()).encoding, TextEncoding::System);

    EXPECT_EQ(EncodeText("a", TextEncoding::Utf8Bom),
              "\xEF\xBB\xBF"
              "a");
    EXPECT_EQ(EncodeText("a", TextEncoding::Utf16LE), QByteArray("\xFF\xFE"
                                                                 "a\0",
                                                                 4));
    EXPECT_EQ(EncodeText("a", TextEncoding::Utf16BE), QByteArray("\xFE\xFF\0a", 4));
    EXPECT_EQ(EncodeText("a", TextEncoding::System), "a");
}

TEST(TextEncodingTest, RoundTripsInEveryEncoding) {
    const QString text = QString("[Settings]\r\nИмя=Значение \"x\"\r\nЭмодзи=") +
                         QString::fromUcs4(U"\U0001F600") + "\r\n";
    for (TextEncoding encoding : {TextEncoding::System, TextEncoding::Utf8Bom,
                                  TextEncoding::Utf16LE, TextEncoding::Utf16BE}) {
        SCOPED_TRACE(static_cast<int>(encoding));
        const QByteArray bytes = EncodeText(text, encoding);
        const DecodedText decoded = DecodeText(bytes);
        EXPECT_EQ(decoded.encoding, encoding);
        EXPECT_EQ(decoded.text, text);
        EXPECT_EQ(EncodeText(decoded.text, decoded.encoding), bytes);
    }
}

TEST(SplitLinesTest, LineBreaksOfEveryKind) {
    EXPECT_EQ(SplitLines(""), QStringList());
    EXPECT_EQ(SplitLines("one\r\n"), QStringList({"one"}));
    EXPECT_EQ(SplitLines("\r\n"), QStringList({""}));
    EXPECT_EQ(SplitLines("a\r\nb\nc\rd"), QStringList({"a", "b", "c", "d"}));
    EXPECT_EQ(SplitLines("a\r\n\r\n\nb\r\n"), QStringList({"a", "", "", "b"}));
    // LF CR is two breaks, CR LF one.
    EXPECT_EQ(SplitLines("a\n\rb"), QStringList({"a", "", "b"}));
    EXPECT_EQ(SplitLines("a\r\r\n"), QStringList({"a", ""}));
}

// The names in a folder, to see that no temporary file is left behind.
QStringList Entries(const QString& dir) {
    return QDir(dir).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot, QDir::Name);
}

TEST(WriteFileAtomicallyTest, CreatesAndReplacesFiles) {
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const QString path = dir.filePath("have.txt");
    QString error;
    ASSERT_TRUE(WriteFileAtomically(path, "first\r\n", &error)) << error.toStdString();
    EXPECT_EQ(ReadFile(path), "first\r\n");
    ASSERT_TRUE(WriteFileAtomically(path, "second", &error)) << error.toStdString();
    EXPECT_EQ(ReadFile(path), "second");
    ASSERT_TRUE(WriteFileAtomically(path, QByteArray(), &error)) << error.toStdString();
    EXPECT_TRUE(QFileInfo::exists(path));
    EXPECT_EQ(ReadFile(path), "");
    EXPECT_EQ(Entries(dir.path()), QStringList({"have.txt"}));
}

TEST(WriteFileAtomicallyTest, ImpossibleTargetsFailWithAnError) {
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    // The target is a folder: it must stay a folder with its content.
    WriteFile(dir.filePath("target/inside.txt"), "kept");
    QString error;
    EXPECT_FALSE(WriteFileAtomically(dir.filePath("target"), "data", &error));
    EXPECT_FALSE(error.isEmpty());
    EXPECT_EQ(ReadFile(dir.filePath("target/inside.txt")), "kept");
    EXPECT_EQ(Entries(dir.path()), QStringList({"target"}));

    // The parent folder does not exist, or is a file.
    error.clear();
    EXPECT_FALSE(WriteFileAtomically(dir.filePath("missing/file.txt"), "data", &error));
    EXPECT_FALSE(error.isEmpty());
    WriteFile(dir.filePath("plain"), "x");
    EXPECT_FALSE(WriteFileAtomically(dir.filePath("plain/file.txt"), "data", &error));
    EXPECT_EQ(ReadFile(dir.filePath("plain")), "x");
}

// Limits the size of files this process may write, so that a write fails as on a full disk
// (even for root); the limit is lifted again at the end of the scope.
class FileSizeLimit {
public:
    explicit FileSizeLimit(rlim_t bytes) {
        getrlimit(RLIMIT_FSIZE, &saved_);
        previousHandler_ = std::signal(SIGXFSZ, SIG_IGN);
        rlimit limited = saved_;
        limited.rlim_cur = bytes;
        ok_ = setrlimit(RLIMIT_FSIZE, &limited) == 0;
    }
    ~FileSizeLimit() {
        setrlimit(RLIMIT_FSIZE, &saved_);
        std::signal(SIGXFSZ, previousHandler_);
    }
    bool ok() const { return ok_; }

private:
    rlimit saved_{};
    void (*previousHandler_)(int) = nullptr;
    bool ok_ = false;
};

TEST(WriteFileAtomicallyTest, FailedWriteLeavesTheOldFileWhole) {
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const QString path = dir.filePath("settings.ini");
    const QByteArray old = "[Settings]\r\nLimit=30\r\n";
    WriteFile(path, old);
    QString error;
    {
        FileSizeLimit limit(4096);
        ASSERT_TRUE(limit.ok());
        EXPECT_FALSE(WriteFileAtomically(path, QByteArray(1 << 20, 'x'), &error));
    }
    EXPECT_FALSE(error.isEmpty());
    EXPECT_EQ(ReadFile(path), old);
    EXPECT_EQ(Entries(dir.path()), QStringList({"settings.ini"}));
}

}  // namespace
