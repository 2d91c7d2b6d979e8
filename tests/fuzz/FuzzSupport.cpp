#include "FuzzSupport.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <cstdio>
#include <cstdlib>

#include "run/RecordedRunReport.h"
#include "text/ByteText.h"

void InitFuzzApp(int* argc, char*** argv) {
    // Kept for the whole process: the view's thread and the driver need it until exit.
    new QCoreApplication(*argc, *argv);
}

namespace {
QString scratchPath;
}  // namespace

QString ScratchDir() {
    static const bool made = [] {
        // tmpfs keeps the have.txt and settings.ini rewrites of every input off the disk.
        const QString root = QDir(QStringLiteral("/dev/shm")).exists() ? QStringLiteral("/dev/shm")
                                                                       : QDir::tempPath();
        QTemporaryDir dir(root + QStringLiteral("/quorvane-fuzz-XXXXXX"));
        dir.setAutoRemove(false);
        scratchPath = dir.path();
        std::atexit([] { QDir(scratchPath).removeRecursively(); });
        return true;
    }();
    (void)made;
    return scratchPath;
}

namespace {

// The headless view without its memory: lines, results and balloons are dropped, so an input
// leaves nothing behind that libFuzzer's leak check would have to look at.
class ForgetfulRunView : public RecordedRunReport {
protected:
    void appendLog(const QString&) override {}
    void appendResult(const QString&) override {}
    void showRefusalBalloon(const QString&, const QString&) override {}
};

}  // namespace

std::unique_ptr<ListingParts> FuzzListing(const QDate& refusalFrom, const QDate& refusalTo) {
    static RecordedRunReport* view = new ForgetfulRunView;
    RunOptions options;
    options.programDir = ScratchDir();
    options.workDir = ScratchDir();
    options.mutexName = QStringLiteral("QuorvaneFuzz");
    options.refusalFrom = refusalFrom;
    options.refusalTo = refusalTo;
    // Every input starts from a folder without refusals met or accepted before.
    for (const char* name : {"have.txt", "have-pending.txt"}) {
        QFile::remove(options.WorkPath(QString::fromLatin1(name)));
    }
    return std::make_unique<ListingParts>(*view, options,
                                          QStringLiteral("https://zakupki.example"));
}

QString PageText(const QByteArray& bytes) {
    return DecodePage(StreamToText(&bytes, 0));
}

QList<QByteArray> SplitFields(const uint8_t* data, size_t size, int count) {
    const QByteArray all(reinterpret_cast<const char*>(data), static_cast<qsizetype>(size));
    QList<QByteArray> fields;
    qsizetype from = 0;
    while (fields.size() + 1 < count) {
        const qsizetype nul = all.indexOf('\0', from);
        if (nul < 0) {
            break;
        }
        fields.append(all.mid(from, nul - from));
        from = nul + 1;
    }
    fields.append(all.mid(from));
    return fields;
}

void Require(bool condition, const char* what) {
    if (!condition) {
        std::fprintf(stderr, "property failed: %s\n", what);
        std::abort();
    }
}
