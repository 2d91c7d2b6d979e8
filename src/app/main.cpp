#include <QApplication>
#include <QMainWindow>

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    QMainWindow window;
    window.setWindowTitle(QStringLiteral("Монитор односторонних отказов с госзакупок"));
    window.show();
    app.exec();
    return 0;
}
