#pragma once

#include <QtGlobal>
#include <array>

// Every pause, spacing and timer of a run. The defaults are the product's politeness rules and
// refresh rates; tests scale them down to run in seconds.
struct RunTiming {
    int detailSpacingMs = 2000;      // no refusal page or card request within this of the last
    int failPauseMs = 1000;          // after every failed attempt
    int pause429ProxyMs = 2000;      // extra after a 429 answer, with proxies
    int pause429DirectMs = 10000;    // extra after a 429 answer, without proxies
    int dateMismatchPauseMs = 5000;  // before retrying a search page that shows other dates
    int finalFailWaitMs = 3000;      // after the last failed attempt, before the handoff
    int maxAttempts = 500;           // attempts of one fetch
    int loopSleepMs = 1;             // after a driver loop's pass that got something done
    int idleWakeMs = 1000;           // an idle driver loop looks again at least this often
    int refreshThrottleMs = 1000;    // progress and counters refresh at most this often
    int resumeTimerMs = 5000;        // automatic pause after a failed phase
    int restartTimerMs = 30000;      // automatic restart after a finished run
    int httpIdleTimeoutSec = 30;     // a portal request with no traffic this long is abandoned
    int httpLowSpeedBytes = 100;     // ...and one slower than this many bytes a second as long
    int httpPageTimeoutSec = 300;    // no portal page may take longer than this
    int telegramTimeoutSec = 30;     // a Telegram request that has not completed by then fails
    // The Bot API's limits: one message a second to a chat, twenty a minute to a group; an
    // answer 429 holds every message for "retry_after" seconds of this length.
    int telegramChatSpacingMs = 1000;
    int telegramGroupWindowMs = 60000;
    int telegramGroupMessages = 20;
    int telegramRetryAfterUnitMs = 1000;
    // At its end a run waits this long at most for notices the limits hold back.
    int noticeDrainMs = 15 * 60 * 1000;
    // A card that failed to load is tried by every run for an hour after its refusal was
    // accepted, then once an hour, and after seven days its row is written without it.
    int cardRetryEveryRunMs = 3600 * 1000;
    int cardRetryGapMs = 3600 * 1000;
    int cardGiveUpMs = 7 * 24 * 3600 * 1000;
    int noticeBacklogReportMs = 3600 * 1000;  // notices waiting this long are named in the log
    // A run that repeats checks refusal pages met before again for about this long of detail
    // requests ("RecheckSeconds" in settings.ini overrides it), oldest check first.
    int recheckShareMs = 30000;
    int progressLineMs = 60000;  // how far the refusal pages are, logged about this often
    // A run whose requests fail this many times in a row the same refusing way (a status, a
    // block page, TLS, no connection, the proxies) with no success gives up retrying.
    int refusalStreakLimit = 10;
    // After such a run the watch probes the portal with one request at these growing gaps, the
    // last one repeated, until it answers.
    std::array<int, 5> probeGapsMs = {60000, 120000, 300000, 600000, 1800000};
    // A health notice that still holds is sent again at most this often.
    qint64 healthNoticeRepeatMs = 24ll * 3600 * 1000;
};

// The process's timing. Read by every run; changed only by tests, before any run starts.
const RunTiming& Timing();
void SetTiming(const RunTiming& timing);

// The 32-bit millisecond tick counter. Differences are taken modulo 2^32.
quint32 TickCount();
// Moves the tick counter by a fixed amount, so tests can see it wrap.
void SetTickOffsetForTesting(quint32 offset);

// Milliseconds from `since` to now, modulo 2^32.
inline quint32 TicksSince(quint32 since) {
    return TickCount() - since;
}
