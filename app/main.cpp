#include "mainwindow.h"

#include <QApplication>

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    // The only argument is the port name; empty means "find the device by its USB ids".
    const QString portName = argc > 1 ? QString::fromUtf8(argv[1]) : QString();
    int exitCode = 0;
    {
        MainWindow window(portName, nullptr);
        window.show();
        exitCode = app.exec();
    }
    return exitCode;
}
