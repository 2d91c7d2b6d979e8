#include "fetch/FailureStreak.h"

void FailureStreak::SetProbe(bool probe) {
    std::lock_guard lock(mutex_);
    probe_ = probe;
}

void FailureStreak::Succeeded(bool throughProxy) {
    std::lock_guard lock(mutex_);
    ++successes_;
    if (throughProxy) {
        ++proxySuccesses_;
    }
    // A page fetched directly says nothing of the proxies that keep failing.
    if (throughProxy || last_.kind != FetchFailure::Kind::Proxy) {
        inRow_ = 0;
    }
}

bool FailureStreak::Failed(const FetchFailure& failure) {
    std::lock_guard lock(mutex_);
    if (gaveUp_) {
        return true;
    }
    if (failures_ == 0) {
        first_ = failure;
    } else if (!(failure == first_)) {
        mixed_ = true;
    }
    ++failures_;
    if (!failure.Refusal()) {
        inRow_ = 0;
        last_ = failure;
        return false;
    }
    inRow_ = failure == last_ ? inRow_ + 1 : 1;
    last_ = failure;
    const int limit = probe_ && successes_ == 0 ? 1 : limit_;
    const qint32 answered =
        failure.kind == FetchFailure::Kind::Proxy ? proxySuccesses_ : successes_;
    gaveUp_ = answered == 0 && inRow_ >= limit;
    return gaveUp_;
}

bool FailureStreak::GaveUp() const {
    std::lock_guard lock(mutex_);
    return gaveUp_;
}

bool FailureStreak::Probing() const {
    std::lock_guard lock(mutex_);
    return probe_ && successes_ == 0;
}

FetchFailure FailureStreak::Last() const {
    std::lock_guard lock(mutex_);
    return last_;
}

qint32 FailureStreak::Successes() const {
    std::lock_guard lock(mutex_);
    return successes_;
}

qint32 FailureStreak::Failures() const {
    std::lock_guard lock(mutex_);
    return failures_;
}

bool FailureStreak::AllFailedAlike() const {
    std::lock_guard lock(mutex_);
    return successes_ == 0 && failures_ > 0 && !mixed_ && first_.Refusal();
}
