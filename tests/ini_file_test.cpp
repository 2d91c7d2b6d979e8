#include <gtest/gtest.h>

#include <QDir>
#include <QFileInfo>
#include <QTemporaryDir>

#include "store/IniFile.h"
#include "support/TestSupport.h"

namespace {

class IniFileTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(dir_.isValid()); }
    QString path() const { return dir_.filePath("settings.ini"); }
    QStringList entries() const {
        return QDir(dir_.path()).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot);
    }

    QTemporaryDir dir_;
};

TEST_F(IniFileTest, MissingFileSectionOrKeyGivesTheDefault) {
    IniFile ini(path());
    EXPECT_EQ(ini.readString("Settings", "BotToken", "def"), "def");
    EXPECT_EQ(ini.readInteger("Settings", "Limit", 30), 30);
    EXPECT_TRUE(ini.readBool("Settings", "Restart", true));
    EXPECT_TRUE(entries().isEmpty());

    WriteFile(path(), "[Other]\r\nLimit=5\r\n[Settings]\r\nProxy=1\r\n");
    EXPECT_EQ(ini.readInteger("Settings", "Limit", 30), 30);
    EXPECT_EQ(ini.readInteger("Missing", "Limit", 30), 30);
    EXPECT_EQ(ini.readInteger("Other", "Limit", 30), 5);
}

TEST_F(IniFileTest, NamesMatchCaseInsensitivelyAndValuesStandAsWritten) {
    WriteFile(path(),
              "; comment=1\r\n"
              "[ settings ]\r\n"
              "  BOTTOKEN = 123:abc,def#x \"q\" \\n  \r\n"
              "TgProxy=login:pa=ss@127.0.0.1:8888\r\n"
              "Empty=\r\n"
              "NoEquals\r\n"
              "Имя=Значение\r\n");
    IniFile ini(path());
    EXPECT_EQ(ini.readString("Settings", "BotToken", "def"), "123:abc,def#x \"q\" \\n");
    EXPECT_EQ(ini.readString("SETTINGS", "tgproxy", "def"), "login:pa=ss@127.0.0.1:8888");
    EXPECT_EQ(ini.readString("Settings", "Empty", "def"), "");
    EXPECT_EQ(ini.readString("Settings", "NoEquals", "def"), "def");
    EXPECT_EQ(ini.readString("Settings", "; comment", "def"), "def");
    EXPECT_EQ(ini.readString("Settings", "имя", "def"), "Значение");
}

TEST_F(IniFileTest, IntegersThatAreNotWholeNumbersGiveTheDefault) {
    WriteFile(path(),
              "[Settings]\r\nLimit=abc\r\nA=12abc\r\nB=1.5\r\nC=-7\r\nD= 40 \r\nE=\r\n"
              "F=99999999999\r\nG=+3\r\nH=-2147483648\r\nI=2147483648\r\nJ=-\r\nProxy=2\r\nRestart="
              "0\r\nBad=yes\r\n");
    IniFile ini(path());
    EXPECT_EQ(ini.readInteger("Settings", "Limit", 30), 30);
    EXPECT_EQ(ini.readInteger("Settings", "A", 30), 30);
    EXPECT_EQ(ini.readInteger("Settings", "B", 30), 30);
    EXPECT_EQ(ini.readInteger("Settings", "C", 30), -7);
    EXPECT_EQ(ini.readInteger("Settings", "D", 30), 40);
    EXPECT_EQ(ini.readInteger("Settings", "E", 30), 30);
    EXPECT_EQ(ini.readInteger("Settings", "F", 30), 30);
    EXPECT_EQ(ini.readInteger("Settings", "G", 30), 3);
    EXPECT_EQ(ini.readInteger("Settings", "H", 30), -2147483647 - 1);
    EXPECT_EQ(ini.readInteger("Settings", "I", 30), 30);
    EXPECT_EQ(ini.readInteger("Settings", "J", 30), 30);
    EXPECT_TRUE(ini.readBool("Settings", "Proxy", false));
    EXPECT_FALSE(ini.readBool("Settings", "Restart", true));
    EXPECT_TRUE(ini.readBool("Settings", "Bad", true));
    EXPECT_FALSE(ini.readBool("Settings", "Bad", false));
}

TEST_F(IniFileTest, NewFileIsCreatedWithoutByteOrderMark) {
    IniFile ini(path());
    ASSERT_TRUE(ini.writeBool("Settings", "Restart", true));
    ASSERT_TRUE(ini.writeInteger("Settings", "Limit", 50));
    ASSERT_TRUE(ini.writeBool("Settings", "Proxy", false));
    EXPECT_EQ(ReadFile(path()), "[Settings]\r\nRestart=1\r\nLimit=50\r\nProxy=0\r\n");
    EXPECT_TRUE(ini.readBool("Settings", "Restart", false));
    EXPECT_EQ(ini.readInteger("Settings", "Limit", 30), 50);
    EXPECT_FALSE(ini.readBool("Settings", "Proxy", true));
    EXPECT_EQ(entries(), QStringList({"settings.ini"}));
}

TEST_F(IniFileTest, WritingAKeyKeepsEveryOtherLine) {
    const QByteArray before =
        "; Quorvane settings\r\n"
        "[Settings]\r\n"
        "BotToken=1:abc\r\n"
        "limit = 10\r\n"
        "; threads above\r\n"
        "\r\n"
        "[Other]\r\n"
        "Limit=7\r\n";
    WriteFile(path(), before);
    IniFile ini(path());
    ASSERT_TRUE(ini.writeInteger("SETTINGS", "Limit", 40));
    ASSERT_TRUE(ini.writeBool("Settings", "Proxy", true));
    ASSERT_TRUE(ini.writeString("Third", "Key", "a,b#c"));
    EXPECT_EQ(ReadFile(path()),
              "; Quorvane settings\r\n"
              "[Settings]\r\n"
              "BotToken=1:abc\r\n"
              "limit=40\r\n"
              "; threads above\r\n"
              "Proxy=1\r\n"
              "\r\n"
              "[Other]\r\n"
              "Limit=7\r\n"
              "[Third]\r\n"
              "Key=a,b#c\r\n");
    EXPECT_EQ(ini.readInteger("Settings", "Limit", 30), 40);
    EXPECT_EQ(ini.readInteger("Other", "Limit", 30), 7);
    EXPECT_EQ(ini.readString("Third", "Key", ""), "a,b#c");
}

TEST_F(IniFileTest, WritingKeepsTheFileEncoding) {
    const QString text = "[Settings]\r\nTgUserId=Пользователь\r\nLimit=10\r\n";
    for (TextEncoding encoding :
         {TextEncoding::Utf8Bom, TextEncoding::Utf16LE, TextEncoding::Utf16BE}) {
        SCOPED_TRACE(static_cast<int>(encoding));
        WriteFile(path(), EncodeText(text, encoding));
        IniFile ini(path());
        EXPECT_EQ(ini.readString("Settings", "TgUserId", ""), "Пользователь");
        ASSERT_TRUE(ini.writeInteger("Settings", "Limit", 20));
        const DecodedText after = DecodeText(ReadFile(path()));
        EXPECT_EQ(after.encoding, encoding);
        EXPECT_EQ(after.text, "[Settings]\r\nTgUserId=Пользователь\r\nLimit=20\r\n");
    }
}

TEST_F(IniFileTest, EntriesThatWouldSplitALineAreRefused) {
    WriteFile(path(), "[Settings]\r\nLimit=10\r\n");
    IniFile ini(path());
    EXPECT_FALSE(ini.writeString("Settings", "TgUserId", "1\r\nLimit=99"));
    EXPECT_FALSE(ini.writeString("Settings", "A=B", "1"));
    EXPECT_FALSE(ini.writeString("Set]tings", "A", "1"));
    EXPECT_EQ(ReadFile(path()), "[Settings]\r\nLimit=10\r\n");
}

TEST_F(IniFileTest, FailedWriteKeepsTheOldFile) {
    // A folder in the file's place: nothing can be written, and nothing is destroyed.
    QDir(dir_.path()).mkdir("settings.ini");
    IniFile ini(path());
    EXPECT_FALSE(ini.writeInteger("Settings", "Limit", 20));
    EXPECT_TRUE(QFileInfo(path()).isDir());
    EXPECT_EQ(ini.readInteger("Settings", "Limit", 30), 30);
}

TEST_F(IniFileTest, HandEditedJunkIsReadSensiblyAndKeptByteForByte) {
    // Binary junk (bytes that are no UTF-8 among them), NUL bytes, a 10 MB line, duplicated keys,
    // a CR inside what was meant as one value, and a section header that never closes.
    const QByteArray junk("\x01\xFF\xFE\x00\x80junk\x00\xC3", 12);
    const QByteArray tenMegabytes(10 * 1024 * 1024, 'v');
    const QByteArray before =
        junk + "\r\n[Settings]\r\nBotToken=" + QByteArray("1:first\0tail", 12) +
        "\r\nBotToken=1:second\r\nTgUserId=42\rTgProxy=h:1\r\nLong=" + tenMegabytes +
        "\r\n[Other\r\nLimit=5\r\n";
    WriteFile(path(), before);
    IniFile ini(path());
    // The first of two equal keys holds; a NUL is a character of the value like any other.
    EXPECT_TRUE(ini.readString("Settings", "BotToken", "") ==
                QString::fromLatin1("1:first\0tail", 12));
    // A lone CR ends a line: the text after it is a key of its own.
    EXPECT_EQ(ini.readString("Settings", "TgUserId", ""), "42");
    EXPECT_EQ(ini.readString("Settings", "TgProxy", ""), "h:1");
    EXPECT_EQ(ini.readString("Settings", "Long", "").size(), tenMegabytes.size());
    // "[Other" opens the section "Other"; the key before it is not in it.
    EXPECT_EQ(ini.readInteger("Settings", "Limit", 30), 30);
    EXPECT_EQ(ini.readInteger("Other", "Limit", 30), 5);

    // The window's write adds its keys and changes nothing else, down to the junk's bytes.
    ASSERT_TRUE(ini.writeInteger("Settings", "Limit", 70));
    ASSERT_TRUE(ini.writeBool("Settings", "Restart", true));
    QByteArray expected = before;
    expected.replace("\r\n[Other", "\r\nLimit=70\r\nRestart=1\r\n[Other");
    expected.replace("TgUserId=42\r", "TgUserId=42\r\n");  // every line ends in CR LF
    EXPECT_TRUE(ReadFile(path()) == expected);
    // A value with a line break is refused, so no line can be planted.
    EXPECT_FALSE(ini.writeString("Settings", "TgUserId", "1\nBotToken=x"));
    EXPECT_FALSE(ini.writeString("Settings", "TgUserId", "1\rBotToken=x"));
}

TEST_F(IniFileTest, ANewFileIsItsOwnersAloneAndAnExistingOneKeepsItsMode) {
    // The owner's, group's and others' bits (the owner is the user running the test).
    const auto mode = [this] { return QFileInfo(path()).permissions() & 0x0777; };
    IniFile ini(path());
    ASSERT_TRUE(ini.writeInteger("Settings", "Limit", 1));
    EXPECT_EQ(mode(), QFileDevice::ReadUser | QFileDevice::WriteUser);
    const QFileDevice::Permissions shared = QFileDevice::ReadOwner | QFileDevice::WriteOwner |
                                            QFileDevice::ReadUser | QFileDevice::WriteUser |
                                            QFileDevice::ReadGroup | QFileDevice::ReadOther;
    ASSERT_TRUE(QFile::setPermissions(path(), shared));
    ASSERT_TRUE(ini.writeInteger("Settings", "Limit", 2));
    EXPECT_EQ(mode(), shared & 0x0777);
}

}  // namespace
