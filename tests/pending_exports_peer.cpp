// Another instance of the export journal for its tests, as a process of its own:
//   pending_exports_peer <dir> hold <key>...
//     records the keys as one run (the first with its row's file named, the second with a
//     failed card), prints "held" and waits to be killed (or for its input to close);
//   pending_exports_peer <dir> race <count>
//     accepts and exports the refusals 0..count-1 as a run does (a notice line in notices.txt
//     for each one it takes, then its have.txt line, then the entry's removal) and prints how
//     many it took: "took N".
#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <cstdio>
#include <cstdlib>

#include "store/HaveStore.h"
#include "store/PendingExports.h"

namespace {

QString CardUrl(const QString& key) {
    return QStringLiteral("https://p.test/card?") + key;
}

int Hold(PendingExports& journal, const QStringList& keys) {
    PendingExport entry;
    for (const QString& key : keys) {
        journal.Add(key, CardUrl(key), QStringLiteral("12.01.2026 10:00"), &entry);
    }
    journal.SetCsvFile(keys.value(0), QStringLiteral("rows.csv"), 42);
    journal.SetCardFailed(keys.value(1));
    std::fputs("held\n", stdout);
    std::fflush(stdout);
    while (std::getchar() != EOF) {
    }
    return 0;
}

int Race(PendingExports& journal, const QDir& dir, int count) {
    const QString havePath = dir.filePath(QStringLiteral("have.txt"));
    HaveStore have;
    have.Load(havePath);
    QFile notices(dir.filePath(QStringLiteral("notices.txt")));
    int took = 0;
    for (int i = 0; i < count; ++i) {
        const QString key = QStringLiteral("https://p.test/refusal?%1#12.01.2026 10:00").arg(i);
        PendingExport entry;
        const PendingExports::Added added = journal.Add(
            key, CardUrl(key), QStringLiteral("12.01.2026 10:00"), &entry,
            [&] {
                have.Refresh(havePath);
                return have.Contains(key);
            },
            [&] {
                if (!notices.open(QIODevice::Append) || notices.write(key.toUtf8() + '\n') < 0) {
                    std::exit(3);
                }
                notices.close();
            });
        if (added == PendingExports::Added::New || added == PendingExports::Added::TakenOver) {
            ++took;
            have.Append(havePath, key);
            journal.Remove(key);
        }
    }
    std::printf("took %d\n", took);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments().mid(1);
    if (args.size() < 3) {
        return 2;
    }
    const QDir dir(args[0]);
    PendingExports journal(dir.path());
    journal.Open();
    if (args[1] == QStringLiteral("hold")) {
        return Hold(journal, args.mid(2));
    }
    return Race(journal, dir, args[2].toInt());
}
