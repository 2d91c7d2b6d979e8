#include "app/CommandLine.h"

#include "store/FileLayout.h"

namespace {

const QString kDateFormat = QStringLiteral("dd.MM.yyyy");

// The value of an option, given as "--name value" or "--name=value".
bool TakeValue(const QStringList& args, qsizetype& i, const QString& name, QString* inlineValue,
               QString* value, QString* error) {
    if (!inlineValue->isNull()) {
        *value = *inlineValue;
        return true;
    }
    if (i + 1 >= args.size()) {
        *error = QStringLiteral("После %1 нужно значение").arg(name);
        return false;
    }
    *value = args[++i];
    return true;
}

bool ReadDate(const QString& name, const QString& text, QDate* date, QString* error) {
    *date = QDate::fromString(text, kDateFormat);
    if (!date->isValid()) {
        *error = QStringLiteral("Неверная дата в %1: \"%2\", нужна дата вида ДД.ММ.ГГГГ")
                     .arg(name, text);
        return false;
    }
    return true;
}

}  // namespace

bool CommandLine::WantsConsole(const QStringList& args) {
    for (const QString& arg : args) {
        if (arg == QStringLiteral("--headless") || arg == QStringLiteral("--help") ||
            arg == QStringLiteral("-h") || arg == QStringLiteral("--version")) {
            return true;
        }
    }
    return false;
}

bool CommandLine::Parse(const QStringList& args, CommandLine* out, QString* error) {
    CommandLine line;
    QStringList headlessOnly;
    bool proxyGiven = false;
    bool noProxyGiven = false;
    for (qsizetype i = 0; i < args.size(); ++i) {
        QString name = args[i];
        QString inlineValue;
        const qsizetype equals = name.indexOf(QLatin1Char('='));
        if (name.startsWith(QStringLiteral("--")) && equals > 0) {
            inlineValue = name.mid(equals + 1);
            name.truncate(equals);
        }
        const bool takesValue =
            name == QStringLiteral("--contract-from") || name == QStringLiteral("--contract-to") ||
            name == QStringLiteral("--refusal-from") || name == QStringLiteral("--refusal-to") ||
            name == QStringLiteral("--threads") || name == QStringLiteral("--dir");
        if (!takesValue && !inlineValue.isNull()) {
            *error = QStringLiteral("Параметр %1 не принимает значения").arg(name);
            return false;
        }
        QString value;
        if (takesValue && !TakeValue(args, i, name, &inlineValue, &value, error)) {
            return false;
        }
        if (name == QStringLiteral("--help") || name == QStringLiteral("-h")) {
            line.help = true;
        } else if (name == QStringLiteral("--version")) {
            line.version = true;
        } else if (name == QStringLiteral("--headless")) {
            line.headless = true;
        } else if (name == QStringLiteral("--dir")) {
            if (value.isEmpty()) {
                *error = QStringLiteral("После --dir нужна папка");
                return false;
            }
            line.dir = value;
        } else if (name == QStringLiteral("--once")) {
            line.once = true;
            headlessOnly << name;
        } else if (name == QStringLiteral("--proxy")) {
            line.proxy = true;
            proxyGiven = true;
            headlessOnly << name;
        } else if (name == QStringLiteral("--no-proxy")) {
            line.proxy = false;
            noProxyGiven = true;
            headlessOnly << name;
        } else if (name == QStringLiteral("--threads")) {
            bool ok = false;
            const int threads = value.toInt(&ok);
            if (!ok || threads < 1) {
                *error = QStringLiteral(
                             "Неверное число потоков в --threads: \"%1\", нужно целое число от 1")
                             .arg(value);
                return false;
            }
            line.threads = threads;
            headlessOnly << name;
        } else if (takesValue) {
            QDate* date = name == QStringLiteral("--contract-from")  ? &line.contractFrom
                          : name == QStringLiteral("--contract-to")  ? &line.contractTo
                          : name == QStringLiteral("--refusal-from") ? &line.refusalFrom
                                                                     : &line.refusalTo;
            if (!ReadDate(name, value, date, error)) {
                return false;
            }
            headlessOnly << name;
        } else {
            *error = QStringLiteral("Неизвестный параметр: %1 (список параметров: quorvane --help)")
                         .arg(args[i]);
            return false;
        }
    }
    if (proxyGiven && noProxyGiven) {
        *error = QStringLiteral("Параметры --proxy и --no-proxy исключают друг друга");
        return false;
    }
    if (!line.headless && !line.help && !line.version && !headlessOnly.isEmpty()) {
        *error = QStringLiteral("Параметр %1 действует только вместе с --headless")
                     .arg(headlessOnly.first());
        return false;
    }
    if (line.contractFrom.isValid() && line.contractTo.isValid() &&
        line.contractFrom > line.contractTo) {
        *error = QStringLiteral("Дата в --contract-from позже даты в --contract-to");
        return false;
    }
    if (line.refusalFrom.isValid() && line.refusalTo.isValid() &&
        line.refusalFrom > line.refusalTo) {
        *error = QStringLiteral("Дата в --refusal-from позже даты в --refusal-to");
        return false;
    }
    *out = line;
    return true;
}

QString CommandLine::HelpText(const FileLayout& layout) {
    return QStringLiteral(
               "Монитор односторонних отказов с госзакупок\n"
               "\n"
               "  quorvane [--dir ПАПКА]                окно программы\n"
               "  quorvane --headless [параметры]       работа без окна\n"
               "\n"
               "Параметры:\n"
               "  --headless                 без окна: строки лога и найденные отказы выводятся\n"
               "                             в стандартный вывод\n"
               "  --once                     один поиск и выход; без него новый поиск начинается\n"
               "                             через 30 секунд после завершения предыдущего\n"
               "  --contract-from ДД.ММ.ГГГГ дата заключения контракта, от (по умолчанию\n"
               "                             1 января прошлого года)\n"
               "  --contract-to ДД.ММ.ГГГГ   дата заключения контракта, до (по умолчанию сегодня)\n"
               "  --refusal-from ДД.ММ.ГГГГ  дата отказа, от\n"
               "  --refusal-to ДД.ММ.ГГГГ    дата отказа, до (фильтр по дате отказа включён,\n"
               "                             если задана хотя бы одна из двух дат)\n"
               "  --threads N                число сканирующих потоков (по умолчанию Limit\n"
               "                             из settings.ini, иначе 30)\n"
               "  --proxy, --no-proxy        использовать прокси из proxy.txt или нет\n"
               "                             (по умолчанию Proxy из settings.ini)\n"
               "  --dir ПАПКА                все файлы программы в этой папке (и для окна)\n"
               "  --help                     эта справка\n"
               "  --version                  версия программы\n"
               "\n"
               "Коды завершения: 0 - работа завершена или остановлена (SIGTERM, SIGINT);\n"
               "1 - поиск с --once завершился с ошибкой; 2 - неверные параметры или поиск\n"
               "не может начаться.\n"
               "\n"
               "Файлы программы:\n") +
           layout.Describe() + QLatin1Char('\n');
}

QString CommandLine::VersionText() {
    return QStringLiteral("quorvane " QUORVANE_VERSION "\n");
}
