#ifndef MAINWINDOW_H
#define MAINWINDOW_H

#include <QMainWindow>
#include <QString>

// Placeholder until the main window lands.
class MainWindow : public QMainWindow
{
    Q_OBJECT
public:
    explicit MainWindow(QString portName, QWidget *parent = nullptr);
};

#endif // MAINWINDOW_H
