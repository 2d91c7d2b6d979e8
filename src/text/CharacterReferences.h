#pragma once

#include <QString>

// Decodes HTML character references in one pass: decimal ("&#34;", "&#034;") and hexadecimal
// ("&#x22;", "&#X22;") numbers and the named references of HTML 4 with "&apos;". A reference
// must end with ";". One that names no character a reader could see (an unknown name, a
// surrogate, a number beyond U+10FFFF, a control character) stays as written, and decoded text
// is not scanned again ("&amp;lt;" gives "&lt;"). The result is never longer than the text.
QString DecodeCharacterReferences(const QString& text);
