#pragma once

#include <QString>

// The bot token as a log line may show it: the bot's id (the digits before the colon) followed
// by ":***", or "***" for a token without a colon. The secret part never reaches a line.
QString MaskedBotToken(const QString& token);

// `text` with every occurrence of `token` replaced by its masked form; every line that may carry
// the token (the notice's own lines, error texts that name the request's URL, the API's reply)
// goes through this before it is written.
QString MaskBotToken(const QString& text, const QString& token);
