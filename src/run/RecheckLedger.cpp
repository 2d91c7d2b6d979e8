#include "run/RecheckLedger.h"

#include <algorithm>
#include <utility>

QStringList RecheckLedger::Pick(const QStringList& pages, qsizetype budget) const {
    if (budget >= pages.size()) {
        return pages;
    }
    QStringList picked;
    QList<std::pair<quint64, QString>> checked;
    {
        std::lock_guard lock(mutex_);
        for (const QString& page : pages) {
            const auto it = lastChecked_.constFind(page);
            if (it == lastChecked_.constEnd()) {
                if (picked.size() < budget) {
                    picked.append(page);
                }
            } else {
                checked.append({it.value(), page});
            }
        }
    }
    const qsizetype rest = std::min<qsizetype>(budget - picked.size(), checked.size());
    if (rest > 0) {
        std::partial_sort(checked.begin(), checked.begin() + rest, checked.end());
        for (qsizetype i = 0; i < rest; ++i) {
            picked.append(checked[i].second);
        }
    }
    return picked;
}

void RecheckLedger::Checked(const QString& page) {
    std::lock_guard lock(mutex_);
    lastChecked_.insert(page, ++checks_);
}
