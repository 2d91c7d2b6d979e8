#include "store/HealthFile.h"

#include <QDir>

#include "store/RecordFile.h"

namespace {

const QString kFile = QStringLiteral("health.txt");
const QString kStateTag = QStringLiteral("state");
const QString kSearchTag = QStringLiteral("search");
const QString kBlind = QStringLiteral("blind");
const QString kSeeing = QStringLiteral("seeing");

QString PathIn(const QString& workDir) {
    return QDir(workDir.isEmpty() ? QStringLiteral(".") : workDir).filePath(kFile);
}

qint32 Number(const QString& text) {
    bool ok = false;
    const qint32 value = text.toInt(&ok);
    return ok ? value : -1;
}

}  // namespace

HealthRecord ReadHealthFile(const QString& workDir) {
    HealthRecord health;
    for (const QStringList& record : ReadRecordFile(PathIn(workDir))) {
        if (record.value(0) == kStateTag) {
            health.blind = record.value(1) == kBlind;
            health.noticeUtc = QDateTime::fromString(record.value(2), Qt::ISODate);
            health.cause = record.value(3);
            health.address = record.value(4);
        } else if (record.value(0) == kSearchTag && !record.value(1).isEmpty()) {
            health.searches.insert(record.value(1),
                                   {Number(record.value(2)), Number(record.value(3))});
        }
    }
    return health;
}

void WriteHealthFile(const QString& workDir, const HealthRecord& health) {
    QList<QStringList> records;
    records.append(
        {kStateTag, health.blind ? kBlind : kSeeing,
         health.noticeUtc.isValid() ? health.noticeUtc.toUTC().toString(Qt::ISODate) : QString(),
         health.cause, health.address});
    for (auto it = health.searches.cbegin(); it != health.searches.cend(); ++it) {
        records.append(
            {kSearchTag, it.key(), QString::number(it->last), QString::number(it->dropFrom)});
    }
    WriteRecordFile(PathIn(workDir), records);
}
