#pragma once

#include <QString>

// The values of a contract card page that a refusal's row takes, as plain text. A value whose
// marker the page lacks is empty.
struct ContractCard {
    QString subject;
    QString customer;
    QString supplier;
    QString supplierAddress;
    QString supplierInn;
    QString price;  // digits and separators, no-break spaces taken out
    QString phone;
    QString email;
};

ContractCard ReadContractCard(const QString& page);

// The contract's registry id in a card address: everything after its first "=".
QString RegistryIdOf(const QString& cardUrl);
