#include "fetch/RunTiming.h"

#include <atomic>
#include <chrono>
#include <mutex>

namespace {
std::mutex timingMutex;
RunTiming timing;
std::atomic<quint32> tickOffset{0};
}  // namespace

const RunTiming& Timing() {
    // The timing is set before runs start and only read afterwards.
    return timing;
}

void SetTiming(const RunTiming& newTiming) {
    std::lock_guard lock(timingMutex);
    timing = newTiming;
}

quint32 TickCount() {
    using namespace std::chrono;
    const auto ms = duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
    return static_cast<quint32>(static_cast<quint64>(ms)) + tickOffset.load();
}

void SetTickOffsetForTesting(quint32 offset) {
    tickOffset.store(offset);
}
