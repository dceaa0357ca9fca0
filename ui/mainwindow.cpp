#include "mainwindow.h"

MainWindow::MainWindow(QString portName, QWidget *parent)
    : QMainWindow(parent)
{
    Q_UNUSED(portName);
}
