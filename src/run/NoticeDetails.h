#pragma once

#include <QString>

// The lines a refusal's notice gets once its contract card is read: the customer, the supplier
// with its ИНН, the price and the subject, each left out when the card lacks it. Empty when the
// card gives none of them (a row written without the card). A value too long for a message is
// cut short.
QString CardNoticeDetails(const QString& page);
