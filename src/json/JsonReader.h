#pragma once

#include <QJsonObject>
#include <QString>

// The few reads the Telegram replies need.
class JsonReader {
public:
    // Parses `text` as a JSON object. Throws RunError when it is not one.
    explicit JsonReader(const QString& text);

    // The boolean at a dotted path; false when missing or not a boolean.
    bool boolAt(const QString& path) const;
    // The whole number at a dotted path; 0 when missing or not a number.
    qint64 integerAt(const QString& path) const;
    // The text at a dotted path; empty when missing or not a string.
    QString textAt(const QString& path) const;
    // The object at a dotted path; empty when missing.
    QJsonObject objectAt(const QString& path) const;
    // A text field of an object; empty when missing.
    static QString textField(const QJsonObject& object, const QString& name);

private:
    QJsonValue valueAt(const QString& path) const;
    QJsonObject root_;
};
