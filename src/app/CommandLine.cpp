#include "app/CommandLine.h"

#include <QCommandLineParser>
#include <QHash>

#include "store/FileLayout.h"

namespace {

const QString kDateFormat = QStringLiteral("dd.MM.yyyy");

// The options by their names after the two dashes; only --help has a short name, -h.
const QStringList kFlags = {
    QStringLiteral("help"), QStringLiteral("version"), QStringLiteral("headless"),
    QStringLiteral("once"), QStringLiteral("proxy"),   QStringLiteral("no-proxy"),
};
const QStringList kValueOptions = {
    QStringLiteral("contract-from"), QStringLiteral("contract-to"), QStringLiteral("refusal-from"),
    QStringLiteral("refusal-to"),    QStringLiteral("threads"),     QStringLiteral("dir"),
};

void AddOptions(QCommandLineParser* parser) {
    for (const QString& name : kFlags) {
        parser->addOption(name == QStringLiteral("help")
                              ? QCommandLineOption(QStringList{QStringLiteral("h"), name})
                              : QCommandLineOption(name));
    }
    for (const QString& name : kValueOptions) {
        parser->addOption(QCommandLineOption(name, QString(), QStringLiteral("value")));
    }
}

QString Unknown(const QString& arg) {
    return QStringLiteral("Неизвестный параметр: %1 (список параметров: quorvane --help)").arg(arg);
}

// QCommandLineParser takes more than the program does ("-once" for --once, "--h" for -h, "--" as
// the end of the options, other words as positional arguments) and does not say where an unknown
// option stood, while the first wrong argument from the left is the one told. So the arguments
// are gone through first: the index of the first that is wrong in itself, with what is wrong
// with it, or args.size() when none is. A value after its option is never looked at here.
qsizetype FirstMalformed(const QStringList& args, QString* error) {
    for (qsizetype i = 0; i < args.size(); ++i) {
        const QString& arg = args[i];
        if (arg == QStringLiteral("-h")) {
            continue;
        }
        if (!arg.startsWith(QStringLiteral("--")) || arg.size() == 2) {
            *error = Unknown(arg);
            return i;
        }
        const qsizetype equals = arg.indexOf(QLatin1Char('='));
        const QString name = arg.left(equals);
        if (kValueOptions.contains(name.mid(2))) {
            if (equals < 0 && ++i == args.size()) {
                *error = QStringLiteral("После %1 нужно значение").arg(name);
                return i - 1;
            }
        } else if (equals >= 0) {
            *error = QStringLiteral("Параметр %1 не принимает значения").arg(name);
            return i;
        } else if (!kFlags.contains(name.mid(2))) {
            *error = Unknown(arg);
            return i;
        }
    }
    return args.size();
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
    QString malformed;
    const qsizetype wellFormed = FirstMalformed(args, &malformed);
    // The arguments before the first malformed one, whose values are checked first since they
    // stand before it.
    QCommandLineParser parser;
    AddOptions(&parser);
    if (!parser.parse(QStringList{QStringLiteral("quorvane")} + args.first(wellFormed))) {
        *error = parser.errorText();
        return false;
    }

    CommandLine line;
    QStringList headlessOnly;
    // Values are handed out in the order their options were given, one option at a time.
    QHash<QString, qsizetype> valuesTaken;
    for (const QString& found : parser.optionNames()) {
        const QString name =
            found == QStringLiteral("h") ? QStringLiteral("-h") : QStringLiteral("--") + found;
        QString value;
        if (kValueOptions.contains(found)) {
            value = parser.values(found).at(valuesTaken[found]++);
        }
        if (found == QStringLiteral("h") || found == QStringLiteral("help")) {
            line.help = true;
        } else if (found == QStringLiteral("version")) {
            line.version = true;
        } else if (found == QStringLiteral("headless")) {
            line.headless = true;
        } else if (found == QStringLiteral("dir")) {
            if (value.isEmpty()) {
                *error = QStringLiteral("После --dir нужна папка");
                return false;
            }
            line.dir = value;
        } else if (found == QStringLiteral("once")) {
            line.once = true;
            headlessOnly << name;
        } else if (found == QStringLiteral("proxy") || found == QStringLiteral("no-proxy")) {
            line.proxy = found == QStringLiteral("proxy");
            headlessOnly << name;
        } else if (found == QStringLiteral("threads")) {
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
        } else {
            QDate* date = found == QStringLiteral("contract-from")  ? &line.contractFrom
                          : found == QStringLiteral("contract-to")  ? &line.contractTo
                          : found == QStringLiteral("refusal-from") ? &line.refusalFrom
                                                                    : &line.refusalTo;
            if (!ReadDate(name, value, date, error)) {
                return false;
            }
            headlessOnly << name;
        }
    }
    if (wellFormed < args.size()) {
        *error = malformed;
        return false;
    }
    if (parser.isSet(QStringLiteral("proxy")) && parser.isSet(QStringLiteral("no-proxy"))) {
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
               "не может начаться; 3 - поиск с --once не увидел портал (страницы не читаются\n"
               "как ожидается или портал отклоняет запросы, причина - в последней строке).\n"
               "\n"
               "В StartURL.txt может быть несколько адресов поиска, по одному в строке (пустые\n"
               "строки и строки с # пропускаются): каждый запуск проходит все поиски, отказ из\n"
               "нескольких поисков выгружается один раз. В повторяющихся запусках известные\n"
               "страницы отказов проверяются по очереди, около RecheckSeconds секунд запросов\n"
               "за запуск (settings.ini, по умолчанию 30; 0 - все страницы каждый раз).\n"
               "\n"
               "Файлы программы:\n") +
           layout.Describe() + QLatin1Char('\n');
}

QString CommandLine::VersionText() {
    return QStringLiteral("quorvane " QUORVANE_VERSION "\n");
}
