#pragma once

#include <QString>

// How one request to the portal failed, told apart so that a run can see a portal that refuses
// every request the same way.
struct FetchFailure {
    enum class Kind {
        None,
        Status,     // an HTTP status of 400 or above
        BlockPage,  // an answer that asks for a captcha or says access is restricted
        Tls,
        Connection,
        Proxy,
        Other,  // a broken page, a page of other dates, a missing page
    };
    Kind kind = Kind::None;
    int status = 0;  // with Kind::Status

    bool operator==(const FetchFailure& other) const {
        return kind == other.kind && (kind != Kind::Status || status == other.status);
    }
    // The failures a portal that refuses the program answers with; a missing page (404) is an
    // answer about that page alone.
    bool Refusal() const {
        return kind == Kind::BlockPage || kind == Kind::Tls || kind == Kind::Connection ||
               kind == Kind::Proxy || (kind == Kind::Status && status != 404);
    }
    // What the user is told, in one line.
    QString Describe() const;
};

// Whether a page that came back whole is the portal's refusal instead of its content: a captcha
// or an access-restricted notice on a small page. `html` holds one character per received byte.
bool IsBlockPage(const QString& html);
