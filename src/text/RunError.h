#pragma once

#include <QString>
#include <stdexcept>

// A failure that carries a message for the operator's log. Every unit of work (a worker start,
// the handling of one page, one fetch attempt, one notice) catches these and logs the message.
class RunError : public std::runtime_error {
public:
    explicit RunError(const QString& message)
        : std::runtime_error(message.toStdString()), message_(message) {}
    const QString& message() const { return message_; }

private:
    QString message_;
};

// The message of any exception, as text for a log line.
inline QString ErrorMessage(const std::exception& e) {
    if (auto* run = dynamic_cast<const RunError*>(&e)) {
        return run->message();
    }
    return QString::fromUtf8(e.what());
}
