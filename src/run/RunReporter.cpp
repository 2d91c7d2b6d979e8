#include "run/RunReporter.h"

#include <algorithm>

#include "fetch/RunTiming.h"
#include "run/RunControl.h"

RunReporter::RunReporter(RunEvents& events, std::shared_ptr<RunControl> control)
    : events_(events), control_(std::move(control)) {
    progress_.lastProgressUpdate = TickCount();
    progress_.lastCountersUpdate = progress_.lastProgressUpdate;
}

// Every call below hands the face values of its own: the face may run it after this thread has
// moved on.

void RunReporter::Log(const QString& text) {
    RunEvents* events = &events_;
    CallOnSinkThread(events_, [events, text] { events->LogLine(text); });
}

void RunReporter::RawLine(const QString& line) {
    RunEvents* events = &events_;
    CallOnSinkThread(events_, [events, line] { events->AppendRawLine(line); });
}

void RunReporter::Busy() {
    RunEvents* events = &events_;
    CallOnSinkThread(events_, [events] { events->RunBusy(); });
}

void RunReporter::Idle(const RunEnding& how) {
    RunEvents* events = &events_;
    CallOnSinkThread(events_, [events, how] { events->RunIdle(how); });
}

void RunReporter::RefusalAccepted(const QString& signedAt, const QString& cardUrl) {
    RunEvents* events = &events_;
    CallOnSinkThread(events_,
                     [events, signedAt, cardUrl] { events->RefusalAccepted(signedAt, cardUrl); });
}

void RunReporter::RefusalPagesRead(int read, int listed, const QString& text) {
    Log(text);
    RunEvents* events = &events_;
    CallOnSinkThread(
        events_, [events, read, listed, text] { events->RefusalPagesRead(read, listed, text); });
}

void RunReporter::PhaseEnded(const QString& failure) {
    if (!failure.isEmpty()) {
        // Held before the face is told, so the resume timer it arms finds the run held.
        control_->Hold();
    }
    RunEvents* events = &events_;
    std::weak_ptr<RunControl> control = control_;
    CallOnSinkThread(events_, [events, failure, control] { events->PhaseEnded(failure, control); });
    // After a failed phase the driver waits until the face's resume timer continues it.
    control_->WaitWhileHeld();
}

void RunReporter::ShowProgress() {
    if (TicksSince(progress_.lastProgressUpdate) <=
        static_cast<quint32>(Timing().refreshThrottleMs)) {
        return;
    }
    ShowProgressNow();
}

void RunReporter::ShowProgressNow() {
    // A bar cannot show a position beyond its range.
    const int maximum = progress_.maximum;
    const int position = std::clamp(progress_.position, 0, std::max(0, maximum));
    RunEvents* events = &events_;
    CallOnSinkThread(events_,
                     [events, position, maximum] { events->ProgressChanged(position, maximum); });
    progress_.lastProgressUpdate = TickCount();
}

void RunReporter::ShowCounters() {
    if (TicksSince(progress_.lastCountersUpdate) <=
        static_cast<quint32>(Timing().refreshThrottleMs)) {
        return;
    }
    const int contracts = progress_.contractsFound;
    const int queued = progress_.refusalsQueued;
    RunEvents* events = &events_;
    CallOnSinkThread(events_,
                     [events, contracts, queued] { events->CountersChanged(contracts, queued); });
    progress_.lastCountersUpdate = TickCount();
}
