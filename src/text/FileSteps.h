#pragma once

#include <QString>

// Every call that changes a file the program keeps (a write, a sync, a rename, a link, an
// unlink, a truncation) and the sending of each notice, announced just before it is made.
//
// For tests only, and only through two environment variables: QUORVANE_TEST_STEPS names a file
// that gets one line per step (number, call, path, offset, length, other path, kind, number of
// that kind; tab-separated), with a copy of a file about to be replaced or removed beside it
// ("<file>.<number>.old"), so that a test can rebuild what a power cut would leave.
// QUORVANE_TEST_KILL_AT="KIND N" ends the process with SIGKILL just before the N-th step of that
// kind ("call:file name", a temporary file's random part and a CSV file's stamp left out, as in
// "write:have.txt" or "rename:notice-queue.txt"), once its line is recorded. Steps are counted
// across all threads, each kind on its own, so that threads interleaving steps of different
// files differently from run to run still meet the same step. Without either variable a step
// costs one load of a flag.
void FileStep(const char* call, const QString& path, qint64 offset = -1, qint64 length = -1,
              const QString& other = QString());
