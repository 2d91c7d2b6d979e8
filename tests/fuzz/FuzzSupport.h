#pragma once

// What the fuzz targets share: a Qt application object, a scratch folder on a memory file
// system where there is one, a run driver whose reporting goes to an in-memory view, and the
// split of one input into fields.

#include <QByteArray>
#include <QList>
#include <QString>
#include <cstddef>
#include <cstdint>

class RunDriver;
class RecordedRunReport;

// Sets up the application object once; call from LLVMFuzzerInitialize.
void InitFuzzApp(int* argc, char*** argv);

// A folder that lives as long as the process.
QString ScratchDir();

// A run driver that is never started: the page handlers run on the fuzzer's thread and report
// to a headless view on a thread of its own, as a run reports to the window. Its folders are
// the scratch folder.
RunDriver& FuzzRun();

// Puts the driver's per-run state back, so every input starts from the same run.
void ResetFuzzRun(RunDriver& run);

// The input as a received page: one character per byte, decoded as the driver decodes it.
QString PageText(const QByteArray& bytes);

// The input cut at NUL bytes into at most `count` fields; the last field keeps the rest.
QList<QByteArray> SplitFields(const uint8_t* data, size_t size, int count);

// Stops the process as a crash when a property does not hold.
void Require(bool condition, const char* what);
