// The program's own start-up and event loop (as main() runs them) in the current directory,
// driven like a user: select the first camera, start streaming, wait, close the window.
// Usage: lumetra_close_probe <ms streaming before the close>
// Exit code: the application's; basini.ini and the log are left for the caller to check.

#include "MainWindow.h"
#include "MainWindowForm.h"

#include <QAction>
#include <QApplication>
#include <QComboBox>
#include <QTimer>

int main(int argc, char* argv[]) {
    QApplication app(argc, argv);
    const int streamMs = argc > 1 ? QString::fromLocal8Bit(argv[1]).toInt() : 4000;
    MainWindow window;
    window.show();
    QTimer::singleShot(0, &window, [&window, streamMs] {
        window.form()->listCamComboBox->setCurrentIndex(1);
        window.form()->actionStartStream->setChecked(true);
        QTimer::singleShot(streamMs, &window, [&window] { window.close(); });
    });
    return app.exec();
}
