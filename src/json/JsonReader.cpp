#include "json/JsonReader.h"

#include <QJsonDocument>
#include <QJsonParseError>
#include <QStringList>

#include "text/RunError.h"

JsonReader::JsonReader(const QString& text) {
    QJsonParseError error;
    const QJsonDocument document = QJsonDocument::fromJson(text.toUtf8(), &error);
    if (error.error != QJsonParseError::NoError) {
        throw RunError(error.errorString());
    }
    if (!document.isObject()) {
        throw RunError(QStringLiteral("JSON text is not an object"));
    }
    root_ = document.object();
}

QJsonValue JsonReader::valueAt(const QString& path) const {
    const QStringList names = path.split(QLatin1Char('.'));
    QJsonValue value = root_;
    for (const QString& name : names) {
        if (!value.isObject()) {
            return QJsonValue(QJsonValue::Undefined);
        }
        value = value.toObject().value(name);
    }
    return value;
}

bool JsonReader::boolAt(const QString& path) const {
    return valueAt(path).toBool(false);
}

qint64 JsonReader::integerAt(const QString& path) const {
    const QJsonValue value = valueAt(path);
    return value.isDouble() ? value.toInteger(0) : 0;
}

QString JsonReader::textAt(const QString& path) const {
    return valueAt(path).toString();
}

QJsonObject JsonReader::objectAt(const QString& path) const {
    return valueAt(path).toObject();
}

QString JsonReader::textField(const QJsonObject& object, const QString& name) {
    return object.value(name).toString();
}
