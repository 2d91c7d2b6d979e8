#pragma once

#include <QtGlobal>
#include <mutex>

#include "fetch/FetchFailure.h"

// The requests of one run, shared by its workers: how many succeeded, and how many failed the
// same refusing way in a row. A portal that refuses everything is not asked again and again:
// once the streak reaches its limit with no success, the run gives up retrying for good.
class FailureStreak {
public:
    // `limit` failures alike in a row end the retries; a probe gives up at the first one until
    // the portal has answered once.
    explicit FailureStreak(int limit = 10) : limit_(limit) {}

    void SetProbe(bool probe);
    // A request answered; `throughProxy` when it went through a proxy of proxy.txt.
    void Succeeded(bool throughProxy);
    // True when the run gives up retrying (now or before).
    bool Failed(const FetchFailure& failure);

    bool GaveUp() const;
    // A probe whose first request has not been answered yet: one request at a time.
    bool Probing() const;
    // The failure of the streak that gave up, or of the last one.
    FetchFailure Last() const;
    qint32 Successes() const;
    qint32 Failures() const;
    // Every request failed, all of them the same refusing way.
    bool AllFailedAlike() const;

private:
    mutable std::mutex mutex_;
    int limit_;
    bool probe_ = false;
    bool gaveUp_ = false;
    bool mixed_ = false;
    int inRow_ = 0;
    qint32 successes_ = 0;
    // Search pages never go through the proxies: only these successes show that one works.
    qint32 proxySuccesses_ = 0;
    qint32 failures_ = 0;
    FetchFailure last_;
    FetchFailure first_;
};
