#pragma once

#include <QString>

// Marker-based extraction and cleaning of page text. All searches are exact and case-sensitive,
// code unit by code unit. Positions are 1-based and 0 means "not found". An empty marker never
// matches, except where a function gives it a meaning of its own.

// The text after `start` (or, when `second` is given, after the first `second` behind `start`)
// up to the first `end` after it. An empty `start` opens at the beginning, an empty `end` runs
// to the end of the text. Empty when a marker is missing.
QString ExtractBetween(const QString& text, const QString& start, const QString& second,
                       const QString& end);

// The text between the last `left` marker before the (last) anchor and the anchor itself;
// `second`, when given, moves the anchor back to its last occurrence before the anchor.
QString ExtractBetweenBackward(const QString& text, const QString& anchor, const QString& second,
                               const QString& left);

// The largest 1-based position at which `marker` occurs wholly within the first n characters.
qsizetype LastPosWithin(const QString& marker, const QString& text, qsizetype n);

// Decodes a fixed set of entities, turns "<br>" into a space, drops line breaks and strips tags.
QString HtmlToText(const QString& text);

// Text for a reader: "<br>" becomes a space, line breaks go, tags are stripped, and only then
// are all character references decoded (so "&lt;b&gt;" stays as the text "<b>"). Keys and
// marker checks keep using HtmlToText.
QString HtmlToReadableText(const QString& text);

// Double quotes become apostrophes, so the text can stand inside a quoted CSV field.
QString CsvSafeText(const QString& text);

// One left-to-right pass replacing every occurrence of `search`; inserted text is not rescanned.
QString ReplaceAll(const QString& text, const QString& search, const QString& replacement);

// The number in a text with words, spaces and separators around its digits, truncated to an
// integer (Russian conventions: decimal comma, no-break space between digit groups). Throws
// RunError when what is left is still not a number.
qint32 ParseIntLenient(const QString& text);

// UTF-8 percent-encoding for a form body: only ASCII letters and digits stay as they are.
QString UrlEncodeUtf8(const QString& text);

// Removes leading and trailing characters up to U+0020 (spaces and control characters).
QString TrimControls(const QString& text);
