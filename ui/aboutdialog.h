#ifndef ORVIK_ABOUTDIALOG_H
#define ORVIK_ABOUTDIALOG_H

#include <QDialog>

namespace Ui {
class About;
}

// The borderless About panel: logo, the tool's version and the device
// revisions it expects. A click anywhere on it closes it.
class AboutDialog : public QDialog
{
    Q_OBJECT

public:
    explicit AboutDialog(QWidget *parent = nullptr);
    ~AboutDialog() override;

private:
    void fitCaptions();

    Ui::About *ui;
};

#endif // ORVIK_ABOUTDIALOG_H
