#pragma once

#include <QString>

// settings.ini: the one section every key is in, and the defaults that more than one reader
// needs.
namespace settings_file {

inline const QString kSection = QStringLiteral("Settings");
// Scanning threads when "Limit" is not set.
constexpr int kDefaultThreadLimit = 30;

}  // namespace settings_file
