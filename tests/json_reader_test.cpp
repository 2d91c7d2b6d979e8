#include <gtest/gtest.h>

#include "json/JsonReader.h"
#include "text/RunError.h"

namespace {

TEST(JsonReaderTest, ReadsTheOkFlag) {
    EXPECT_TRUE(JsonReader(R"({"ok":true,"result":{}})").boolAt("ok"));
    EXPECT_FALSE(JsonReader(R"({"ok":false,"error_code":400})").boolAt("ok"));
    EXPECT_FALSE(JsonReader(R"({"result":{}})").boolAt("ok"));
    EXPECT_FALSE(JsonReader(R"({"ok":"true"})").boolAt("ok"));  // not a boolean
}

TEST(JsonReaderTest, ReadsNestedObjectsAndTheirTextFields) {
    const JsonReader reader(R"({"ok":true,"result":{"message_id":7,
        "from":{"id":1,"is_bot":true,"username":"quorvane_bot"},
        "chat":{"id":42,"username":"Оператор","type":"private"}}})");
    EXPECT_EQ(JsonReader::textField(reader.objectAt("result.chat"), "username"), "Оператор");
    EXPECT_EQ(JsonReader::textField(reader.objectAt("result.from"), "username"), "quorvane_bot");
    EXPECT_TRUE(reader.boolAt("result.from.is_bot"));
    // A number is not text.
    EXPECT_TRUE(JsonReader::textField(reader.objectAt("result.chat"), "id").isEmpty());
}

TEST(JsonReaderTest, MissingObjectsAndFieldsReadAsEmpty) {
    const JsonReader reader(R"({"ok":true,"result":{"chat":{"id":42}},"list":[1]})");
    EXPECT_TRUE(JsonReader::textField(reader.objectAt("result.chat"), "username").isEmpty());
    EXPECT_TRUE(reader.objectAt("result.from").isEmpty());
    EXPECT_TRUE(reader.objectAt("ok.deeper").isEmpty());  // through a non-object
    EXPECT_TRUE(reader.objectAt("list").isEmpty());
    EXPECT_TRUE(JsonReader::textField(reader.objectAt("result.from"), "username").isEmpty());
}

TEST(JsonReaderTest, TextThatIsNotAJsonObjectThrows) {
    for (const char* text : {"", "<html>Bad Gateway</html>", "{\"ok\":tru", "[1,2]", "42"}) {
        try {
            JsonReader reader{QString::fromUtf8(text)};
            ADD_FAILURE() << "accepted: " << text;
        } catch (const RunError& e) {
            EXPECT_FALSE(e.message().isEmpty()) << text;
        }
    }
}

}  // namespace
