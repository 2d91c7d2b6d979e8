// Helper process for the have.txt tests: loads the store at the given path and adds `count`
// generated keys, then rewrites the file and prints "written"; or, with a prefix, appends the
// keys one by one as a running instance records new refusals, and prints "appended".
//   have_store_writer <path> <count> [<prefix>]
#include <QCoreApplication>
#include <cstdio>

#include "store/HaveStore.h"

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    if (argc != 3 && argc != 4) {
        return 2;
    }
    const QString path = QString::fromLocal8Bit(argv[1]);
    const int count = QString::fromLocal8Bit(argv[2]).toInt();
    HaveStore store;
    store.Load(path);
    if (argc == 4) {
        const QString prefix = QString::fromLocal8Bit(argv[3]);
        for (int i = 0; i < count; ++i) {
            store.Append(path, prefix + QString::number(i));
        }
        std::fputs("appended\n", stdout);
        return 0;
    }
    for (int i = 0; i < count; ++i) {
        store.Add(QStringLiteral("https://p.test/epz/rdik/card/reject-info.html?id=%1#%2 10:00")
                      .arg(i)
                      .arg(QStringLiteral("01.02.2026")));
    }
    store.MergeAndWrite(path);
    std::fputs("written\n", stdout);
    return 0;
}
