#include "FuzzSupport.h"

#include <QCoreApplication>
#include <QDir>
#include <QTemporaryDir>
#include <cstdio>
#include <cstdlib>

#include "run/RecordedRunReport.h"
#include "run/RunDriver.h"
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

RunDriver& FuzzRun() {
    static RecordedRunReport* view = new ForgetfulRunView;
    static RunDriver* run = [] {
        auto* r = new RunDriver(view);
        r->options.programDir = ScratchDir();
        r->options.workDir = ScratchDir();
        r->portalBase = QStringLiteral("https://zakupki.example");
        r->SetThreadLimit(5);
        return r;
    }();
    return *run;
}

void ResetFuzzRun(RunDriver& run) {
    run.searchQueue.clear();
    run.refusalQueue.clear();
    run.cards.clear();
    run.seenRefusalDigests.clear();
    run.haveStore = HaveStore();
    run.newRefusalSeen = false;
    run.progress.contractsFound = 0;
    run.progress.refusalsQueued = 0;
    run.progress.position = 0;
    run.progress.maximum = 0;
    run.options.refusalFrom = QDate();
    run.options.refusalTo = QDate();
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
