#pragma once

// What the fuzz targets share: a Qt application object, a scratch folder on a memory file
// system where there is one, the parts of a listing phase whose reporting goes to an in-memory
// view, and the split of one input into fields.

#include <QByteArray>
#include <QDate>
#include <QList>
#include <QString>
#include <cstddef>
#include <cstdint>
#include <memory>

#include "support/ListingParts.h"

// Sets up the application object once; call from LLVMFuzzerInitialize.
void InitFuzzApp(int* argc, char*** argv);

// A folder that lives as long as the process.
QString ScratchDir();

// A fresh listing phase for one input, never run: the page handlers run on the fuzzer's thread
// and report to a headless view on a thread of its own, as a run reports to the window. Its
// folders are the scratch folder; `refusalFrom` and `refusalTo` are its refusal-date window.
std::unique_ptr<ListingParts> FuzzListing(const QDate& refusalFrom = QDate(),
                                          const QDate& refusalTo = QDate());

// The input as a received page: one character per byte, decoded as the driver decodes it.
QString PageText(const QByteArray& bytes);

// The input cut at NUL bytes into at most `count` fields; the last field keeps the rest.
QList<QByteArray> SplitFields(const uint8_t* data, size_t size, int count);

// Stops the process as a crash when a property does not hold.
void Require(bool condition, const char* what);
