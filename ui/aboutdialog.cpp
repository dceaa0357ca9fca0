#include "aboutdialog.h"
#include "ui_about.h"
#include "versions.h"

// The logo lives in the core library's resources; a static library drops them
// unless someone registers them first. Registering twice is harmless.
static void initResources()
{
    Q_INIT_RESOURCE(resources);
}

AboutDialog::AboutDialog(QWidget *parent)
    : QDialog(parent)
    , ui(new Ui::About)
{
    initResources();
    ui->setupUi(this);
    ui->labelOrvikConfigVersion->setText(QString::fromLatin1(OrvikConfigVersion));
    ui->labelHardwareVersion->setText(QString::fromLatin1(RequiredHwRev));
    ui->labelSoftwareVersion->setText(QString::fromLatin1(RequiredSwRev));
    ui->labelFirmwareVersion->setText(QString::fromLatin1(RequiredFwRev));
    // The transparent button covers the whole panel, so any click closes it.
    connect(ui->pushButtonClose, &QPushButton::clicked, this, &QDialog::close);
}

AboutDialog::~AboutDialog()
{
    delete ui;
}
