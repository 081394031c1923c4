// The plain reference for bench_startup: a Qt window and nothing else.
#include <QApplication>
#include <QMainWindow>

int main(int argc, char** argv)
{
    QApplication app(argc, argv);
    QMainWindow window;
    window.setWindowTitle(QStringLiteral("Reference window"));
    window.resize(1316, 409);
    window.show();
    return app.exec();
}
