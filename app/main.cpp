#include "MainWindow.h"

#include <QApplication>
#include <QDir>

int main(int argc, char* argv[]) {
    QApplication app(argc, argv);
    // Every file of the program (basini.ini, logs/, calibration files, the notes) is
    // addressed relative to the executable's directory.
    QDir::setCurrent(QCoreApplication::applicationDirPath());
    MainWindow window;
    window.show();
    return app.exec();
}
