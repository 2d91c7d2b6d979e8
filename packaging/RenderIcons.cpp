// Writes the program's icon as the PNG files of an icon theme, drawn by the same code as the
// window's icon: render-icons DIR  ->  DIR/hicolor/NxN/apps/quorvane.png
#include <QDir>
#include <QGuiApplication>
#include <QTextStream>

#include "app/AppIcon.h"

int main(int argc, char** argv) {
    // Drawing needs a GUI application but no display; the build may run where there is none.
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QGuiApplication app(argc, argv);
    if (argc != 2) {
        QTextStream(stderr) << "usage: render-icons DIR\n";
        return 2;
    }
    const QDir root(QString::fromLocal8Bit(argv[1]));
    for (int size : {16, 22, 24, 32, 48, 64, 128, 256}) {
        const QString folder = QStringLiteral("hicolor/%1x%1/apps").arg(size);
        const QString path = root.filePath(folder + QStringLiteral("/quorvane.png"));
        if (!root.mkpath(folder) || !DrawQuorvaneIcon(size).save(path, "PNG")) {
            QTextStream(stderr) << "cannot write " << path << "\n";
            return 1;
        }
    }
    return 0;
}
