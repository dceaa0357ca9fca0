#include "aboutdialog.h"
#include "ui_about.h"
#include "revisions.h"
#include "version.h"

#include <QFontMetrics>
#include <QLabel>

// The logo lives in the core library's resources; a static library drops them
// unless someone registers them first. Registering twice is harmless.
static void initResources()
{
    Q_INIT_RESOURCE(resources);
}

AboutDialog::AboutDialog(QWidget *parent) : QDialog(parent), ui(new Ui::About)
{
    initResources();
    ui->setupUi(this);
    ui->labelOrvikConfigVersion->setText(QString::fromLatin1(OrvikConfigVersion));
    ui->labelHardwareVersion->setText(QString::fromLatin1(RequiredHwRev));
    ui->labelSoftwareVersion->setText(QString::fromLatin1(RequiredSwRev));
    ui->labelFirmwareVersion->setText(QString::fromLatin1(RequiredFwRev));
    fitCaptions();
    // The transparent button covers the whole panel, so any click closes it.
    connect(ui->pushButtonClose, &QPushButton::clicked, this, &QDialog::close);
}

// The panel's fixed geometry was laid out for a narrow dialog font; with a wider
// one (DejaVu Sans on Linux) captions would be cut off. Shrink only the labels
// that do not fit, so the geometry stays as it is.
void AboutDialog::fitCaptions()
{
    const QList<QLabel *> labels = findChildren<QLabel *>(QString(), Qt::FindDirectChildrenOnly);
    for (QLabel *label : labels) {
        if (label->text().isEmpty())
            continue;
        QFont font = label->font();
        const int available = label->contentsRect().width();
        while (QFontMetrics(font).horizontalAdvance(label->text()) > available && font.pointSizeF() > 6.0)
            font.setPointSizeF(font.pointSizeF() - 0.5);
        if (font != label->font())
            label->setFont(font);
    }
}

AboutDialog::~AboutDialog()
{
    delete ui;
}
