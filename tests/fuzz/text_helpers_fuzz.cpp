// The text helpers every page goes through: received bytes to text and back, the marker
// searches, HTML to text and to readable text, the lenient number reading and the encodings. The
// input is a text and up to three markers, separated by NUL bytes.
#include "FuzzSupport.h"
#include "text/ByteText.h"
#include "text/CharacterReferences.h"
#include "text/RunError.h"
#include "text/TextHelpers.h"

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) {
    InitFuzzApp(argc, argv);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const QByteArray raw(reinterpret_cast<const char*>(data), static_cast<qsizetype>(size));
    // Received bytes survive the byte text unchanged.
    const QString byteText = StreamToText(&raw, 0);
    Require(TextToStream(byteText) == raw, "the byte text lost bytes");
    Require(StreamToText(&raw, 1).size() == (raw.isEmpty() ? 0 : 1), "a count was not kept");

    const QList<QByteArray> fields = SplitFields(data, size, 4);
    const QString text = PageText(fields[0]);
    const QString a = fields.size() > 1 ? PageText(fields[1]) : QString();
    const QString b = fields.size() > 2 ? PageText(fields[2]) : QString();
    const QString c = fields.size() > 3 ? PageText(fields[3]) : QString();

    const QString between = ExtractBetween(text, a, b, c);
    Require(between.size() <= text.size(), "ExtractBetween grew the text");
    Require(ExtractBetweenBackward(text, a, b, c).size() <= text.size(),
            "ExtractBetweenBackward grew the text");
    const qsizetype n = a.isEmpty() ? text.size() : a.at(0).unicode() % (text.size() + 2);
    const qsizetype last = LastPosWithin(a, text, n);
    Require(last == 0 || (last >= 1 && last - 1 + a.size() <= std::min(n, text.size()) &&
                          QStringView(text).mid(last - 1, a.size()) == a),
            "LastPosWithin gave a position the marker is not at");

    const QString plain = HtmlToText(text);
    Require(!plain.contains(u'\r') && !plain.contains(u'\n'), "HtmlToText kept a line break");
    // Every reference is longer than what it stands for, and only references change.
    const QString unreferenced = DecodeCharacterReferences(text);
    Require(unreferenced.size() <= text.size(), "decoding grew the text");
    Require(text.contains(u'&') || unreferenced == text,
            "decoding changed a text without references");
    const QString readable = HtmlToReadableText(text);
    Require(!readable.contains(u'\r') && !readable.contains(u'\n'),
            "HtmlToReadableText made a line break");
    Require(!CsvSafeText(text).contains(u'"'), "CsvSafeText kept a double quote");
    ReplaceAll(text, a, b);
    const QString encoded = UrlEncodeUtf8(text);
    for (const QChar ch : encoded) {
        Require(ch.unicode() < 0x80, "UrlEncodeUtf8 left a non-ASCII character");
    }
    const QString trimmed = TrimControls(text);
    Require(
        trimmed.isEmpty() || (trimmed.front().unicode() > 0x20 && trimmed.back().unicode() > 0x20),
        "TrimControls left a control character at an end");
    try {
        ParseIntLenient(text);
    } catch (const RunError&) {
        // Not a number: the caller logs the message.
    }

    // Text files: decoded, split into lines and written back in their own encoding.
    const DecodedText decoded = DecodeText(raw);
    for (const QString& line : SplitLines(decoded.text)) {
        Require(!line.contains(u'\r') && !line.contains(u'\n'), "a line kept a line break");
    }
    EncodeText(decoded.text, decoded.encoding);
    return 0;
}
