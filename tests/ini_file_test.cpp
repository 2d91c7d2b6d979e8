#include <gtest/gtest.h>

#include <QDir>
#include <QFileInfo>
#include <QTemporaryDir>
#include <ostream>

#include "scraper/IniFile.h"
#include "support/TestSupport.h"

// Readable failure messages for texts.
static void PrintTo(const QString& text, std::ostream* os) {
    *os << '"' << text.toStdString() << '"';
}

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

}  // namespace
