#include "mainwindow.h"
#include "aboutdialog.h"
#include "ui_mainwindow.h"
#include "revisions.h"
#include "versionpolicy.h"

#include <QAbstractItemView>
#include <QGuiApplication>
#include <QItemSelectionModel>
#include <QMessageBox>
#include <QStringListModel>
#include <QTimer>

namespace {

constexpr int AttachRetryMs = 1000;
constexpr int InfoDelayMs = 2000;
constexpr int ReattachAfterResetMs = 1000;
constexpr int ReattachAfterUpgradeMs = 2000;

// Radios of this class of device (as received, byte 0 first) are marked in the list.
const QByteArray MarkedClassOfDevice = QByteArray::fromHex("040262");

void pushWaitCursor()
{
    QGuiApplication::setOverrideCursor(QCursor(Qt::WaitCursor));
}

void popWaitCursor()
{
    QGuiApplication::restoreOverrideCursor();
}

void popAllWaitCursors()
{
    while (QGuiApplication::overrideCursor())
        popWaitCursor();
}

// Modal boxes with no default button: QMessageBox's static helpers would make
// OK the default. Closing a question any other way than Yes counts as No.
QMessageBox::StandardButton showBox(QWidget *parent, QMessageBox::Icon icon, const QString &title, const QString &text,
                                    QMessageBox::StandardButtons buttons = QMessageBox::Ok)
{
    QMessageBox box(icon, title, text, buttons, parent);
    box.exec();
    return box.standardButton(box.clickedButton());
}

void warn(QWidget *parent, const QString &title, const QString &text)
{
    showBox(parent, QMessageBox::Warning, title, text);
}

void inform(QWidget *parent, const QString &title, const QString &text)
{
    showBox(parent, QMessageBox::Information, title, text);
}

bool ask(QWidget *parent, const QString &title, const QString &text)
{
    return showBox(parent, QMessageBox::Question, title, text, QMessageBox::Yes | QMessageBox::No) == QMessageBox::Yes;
}

} // namespace

MainWindow::MainWindow(QString portName, QWidget *parent)
    : QMainWindow(parent), portName(portName), ui(new Ui::MainWindow)
{
    // The update packages and the logo are resources of the core library.
    Q_INIT_RESOURCE(resources);

    ui->setupUi(this);

    radioModel = new QStringListModel(this);
    ui->listView->setModel(radioModel);
    ui->listView->setSelectionMode(QAbstractItemView::SingleSelection);
    // Pairing finds the address by the row's text, so rows must not be edited.
    ui->listView->setEditTriggers(QAbstractItemView::NoEditTriggers);

    // The log function stays wired but is not offered on screen.
    ui->logButton->hide();

    enableControls(false, false, false, false, false, false);
    clearDeviceInfo();

    device = new OrvikDevice(this);
    attachDevice();

    connect(ui->scanButton, &QPushButton::clicked, device, &OrvikDevice::doScan);
    connect(ui->pairButton, &QPushButton::clicked, this, &MainWindow::doPair);
    connect(ui->scanButton, &QPushButton::clicked, this, &MainWindow::onStartScan);
    connect(ui->upperButton, &QPushButton::clicked, this, &MainWindow::onUpperGpio);
    connect(ui->lowerButton, &QPushButton::clicked, this, &MainWindow::onLowerGpio);
    connect(ui->resetButton, &QPushButton::clicked, this, &MainWindow::onStartReset);
    connect(ui->logButton, &QPushButton::clicked, this, &MainWindow::onGetLogs);
    connect(ui->actionExit, &QAction::triggered, this, &QWidget::close);
    connect(ui->actionAbout, &QAction::triggered, this, &MainWindow::onAbout);
    connect(ui->listView->selectionModel(), &QItemSelectionModel::selectionChanged, this, &MainWindow::radioSelected);
    connect(device, &OrvikDevice::radioFound, this, &MainWindow::addRadio);
    connect(device, &OrvikDevice::scanComplete, this, &MainWindow::onScanComplete);
    connect(device, &OrvikDevice::verifyPassKey, this, &MainWindow::onVerifyPassKey);
    connect(device, &OrvikDevice::pairComplete, this, &MainWindow::onPairComplete);
    connect(device, &OrvikDevice::upgradeReady, this, &MainWindow::onUpgradeReady);
    connect(device, &OrvikDevice::upperGpioComplete, this, &MainWindow::onUpperGpioComplete);
    connect(device, &OrvikDevice::lowerGpioComplete, this, &MainWindow::onLowerGpioComplete);
    connect(device, &OrvikDevice::resetComplete, this, &MainWindow::onResetComplete);
    connect(device, &OrvikDevice::getInfoComplete, this, &MainWindow::onGetInfoComplete);
    connect(device, &OrvikDevice::getHwRevComplete, this, &MainWindow::onGetHwRevComplete);
    connect(device, &OrvikDevice::getFwRevComplete, this, &MainWindow::onGetFwRevComplete);
    connect(device, &OrvikDevice::getSwRevComplete, this, &MainWindow::onGetSwRevComplete);
    connect(device, &OrvikDevice::getBattComplete, this, &MainWindow::onGetBattComplete);
    connect(device, &OrvikDevice::getLogsComplete, this, &MainWindow::onGetLogsComplete);
    connect(device, &OrvikDevice::upgradeStarted, this, &MainWindow::onUpdateStarted);
    connect(device, &OrvikDevice::upgradeProgress, this, &MainWindow::onUpdateProgress);
    connect(device, &OrvikDevice::upgradeFinished, this, &MainWindow::onUpdateFinished);
    connect(device, &QSerialPort::errorOccurred, this, &MainWindow::onError);
    connect(this, &MainWindow::pairRequest, device, &OrvikDevice::doPair);
    connect(this, &MainWindow::passKeyVerified, device, &OrvikDevice::onPassKeyVerified);
}

MainWindow::~MainWindow()
{
    delete ui;
}

// ---- helpers -------------------------------------------------------------

void MainWindow::enableControls(bool scan, bool gpio, bool pair, bool list, bool reset, bool logs)
{
    ui->scanButton->setEnabled(scan);
    ui->upperButton->setEnabled(gpio);
    ui->lowerButton->setEnabled(gpio);
    ui->pairButton->setEnabled(pair);
    ui->listView->setEnabled(list);
    ui->resetButton->setEnabled(reset);
    ui->logButton->setEnabled(logs);
}

void MainWindow::clearDeviceInfo()
{
    ui->nameLabel->setEnabled(false);
    ui->nameLabel->clear();
    ui->positionComboBox->setEnabled(false);
    ui->positionComboBox->clear();
    ui->hwRevLabel->setEnabled(false);
    ui->hwRevLabel->clear();
    ui->fwRevLabel->setEnabled(false);
    ui->fwRevLabel->clear();
    ui->swRevLabel->setEnabled(false);
    ui->swRevLabel->clear();
    // setChecked does not emit clicked, so no GPIO request goes out here.
    ui->upperButton->setText(tr("Upper Normal"));
    ui->upperButton->setChecked(false);
    ui->lowerButton->setText(tr("Lower Normal"));
    ui->lowerButton->setChecked(false);
}

void MainWindow::setBusy()
{
    pushWaitCursor();
    enableControls(false, false, false, false, false, false);
}

void MainWindow::attachDevice()
{
    // Another retry loop already holds the port: leave its information timer alone.
    if (device->isOpen())
        return;
    const quint64 attempt = ++attachAttempt;
    attaching = true;
    const bool attached = device->attach(portName);
    attaching = false;
    if (attached) {
        // Precise: a coarse timer may fire a little before the 2000 ms are up.
        QTimer::singleShot(InfoDelayMs, Qt::PreciseTimer, this, [this, attempt] {
            if (attempt == attachAttempt && device->isOpen())
                requestInfo();
        });
    } else {
        QTimer::singleShot(AttachRetryMs, this, [this, attempt] {
            if (attempt == attachAttempt)
                attachDevice();
        });
    }
}

void MainWindow::requestInfo()
{
    device->getInfo();
}

// A modal box runs a nested event loop in which the port may be lost and
// another device attached: what the box was about is then gone, and its
// handler must not act on whatever is connected by the time it closes.
quint64 MainWindow::connection() const
{
    return device->isOpen() ? attachAttempt : 0;
}

bool MainWindow::stillConnected(quint64 before) const
{
    return before != 0 && before == connection();
}

// Rows and addresses go together: every lookup in radios starts from a row's text.
void MainWindow::clearRadios()
{
    radios.clear();
    radioModel->removeRows(0, radioModel->rowCount());
}

void MainWindow::destroyProgressDialog()
{
    delete progressDialog.data();
    progressDialog = nullptr;
}

// ---- port errors ---------------------------------------------------------

void MainWindow::onError(QSerialPort::SerialPortError error)
{
    // Every notification pops, including the NoError of each open; while an
    // upgrade awaits its completing reset the busy cursor must stay.
    if (!resetAfterUpgrade) {
        popWaitCursor();
        upgradeCursor = false; // with no reset awaited, an upgrade's cursor is the one this takes
    }

    if (error == QSerialPort::NoError || attaching)
        return;
    // The device link reports a vanished device as ResourceError, also where the
    // platform itself only reads end of file.
    if (error != QSerialPort::ResourceError)
        return;

    // No request of this connection will be answered now: their cursors go,
    // an upgrade's stays until a later reset succeeds.
    popAllWaitCursors();
    if (upgradeCursor)
        pushWaitCursor();
    // A log read in progress never completes now: the window it disabled must not stay so.
    setEnabled(true);
    clearRadios();
    enableControls(false, false, false, false, false, false);
    clearDeviceInfo();
    device->close();
    // A transfer that loses its port ends with a failure box, and the end of
    // the update attaches again once that box is closed, not under it.
    if (!updating)
        attachDevice();
}

// ---- scan and pairing ----------------------------------------------------

void MainWindow::onStartScan()
{
    pushWaitCursor();
    clearRadios();
    enableControls(false, false, false, false, false, false);
}

void MainWindow::addRadio(QByteArray bdAddr, QByteArray classOfDevice, QString device)
{
    const QString prefix =
            classOfDevice.startsWith(MarkedClassOfDevice) ? QStringLiteral("<R> ") : QStringLiteral("    ");
    const QString text = prefix + device;
    radios.insert(text, bdAddr);
    const int row = radioModel->rowCount();
    radioModel->insertRows(row, 1);
    radioModel->setData(radioModel->index(row), text);
}

void MainWindow::onScanComplete(bool status)
{
    popWaitCursor();
    const quint64 scanned = connection();
    if (status)
        inform(this, tr("Scan Complete"), tr("Radio scan completed successfully"));
    else
        warn(this, tr("Scan Failed"), tr("Radio scan failed"));
    // Rows of a failed scan stay, but cannot be picked.
    if (stillConnected(scanned))
        enableControls(true, true, false, status, true, true);
}

void MainWindow::radioSelected(QItemSelection selected, QItemSelection deselected)
{
    Q_UNUSED(deselected);
    ui->pairButton->setEnabled(!selected.indexes().isEmpty());
}

void MainWindow::doPair()
{
    const QModelIndexList selected = ui->listView->selectionModel()->selectedIndexes();
    if (selected.isEmpty())
        return;
    const QString text = selected.first().data(Qt::DisplayRole).toString();
    const uchar position = static_cast<uchar>(ui->positionComboBox->currentIndex() & 0xFF);
    // Without a known 6-byte address there is nothing sensible to send.
    const auto found = radios.constFind(text);
    if (found == radios.constEnd() || found.value().size() != 6)
        return;
    const QByteArray address = found.value();

    pushWaitCursor();
    enableControls(false, false, false, false, false, false);
    emit pairRequest(address, position);
}

void MainWindow::onVerifyPassKey(QByteArray bdAddr, uint passKey)
{
    popWaitCursor();
    const quint64 asked = connection();
    const bool confirmed = ask(this, tr("Verify Pass Key"),
                               tr("Please verify that the radio displays the number ") + QString::number(passKey));
    if (stillConnected(asked))
        emit passKeyVerified(bdAddr, confirmed);
}

void MainWindow::onPairComplete(bool status)
{
    popWaitCursor();
    const quint64 paired = connection();
    if (status)
        inform(this, tr("Pairing Complete"), tr("Radio paired successfully"));
    else
        warn(this, tr("Pairing Failed"), tr("Radio pairing failed"));
    if (stillConnected(paired))
        enableControls(true, true, true, true, true, true);
}

// ---- alerts, reset and logs ----------------------------------------------

void MainWindow::onUpperGpio()
{
    toggleGpio(ui->upperButton, tr("Upper Emergency"), tr("Upper Normal"), &OrvikDevice::upperGpio);
}

void MainWindow::onLowerGpio()
{
    toggleGpio(ui->lowerButton, tr("Lower Emergency"), tr("Lower Normal"), &OrvikDevice::lowerGpio);
}

// The click has already flipped the check state: it is the state to request.
void MainWindow::toggleGpio(QPushButton *button, const QString &emergencyText, const QString &normalText,
                            void (OrvikDevice::*request)(bool))
{
    pushWaitCursor();
    enableControls(false, false, false, false, false, false);
    const bool emergency = button->isChecked();
    button->setText(emergency ? emergencyText : normalText);
    (device->*request)(emergency);
}

void MainWindow::onUpperGpioComplete(bool status)
{
    gpioComplete(status, tr("Failed to toggle Upper GPIO"));
}

void MainWindow::onLowerGpioComplete(bool status)
{
    gpioComplete(status, tr("Failed to toggle Lower GPIO"));
}

// A refused toggle keeps the requested state on the button: the next click asks for the opposite.
void MainWindow::gpioComplete(bool status, const QString &failure)
{
    popWaitCursor();
    const quint64 toggled = connection();
    if (!status)
        warn(this, tr("Simulation Failed"), failure);
    if (stillConnected(toggled))
        enableControls(true, true, false, false, true, true);
}

void MainWindow::onStartReset()
{
    pushWaitCursor();
    clearRadios();
    enableControls(false, false, false, false, false, false);
    clearDeviceInfo();
    device->resetDevice();
}

void MainWindow::onResetComplete(bool status)
{
    popWaitCursor();
    // The dialog of a successful upgrade stays up until its completing reset is answered.
    if (resetAfterUpgrade && progressDialog)
        destroyProgressDialog();
    if (status) {
        resetAfterUpgrade = false;
        device->close();
        QTimer::singleShot(ReattachAfterResetMs, this, [this] { attachDevice(); });
    } else {
        const quint64 refused = connection();
        warn(this, tr("Reset Failed"), tr("Failed to reset Orvik device"));
        if (stillConnected(refused))
            enableControls(false, false, false, false, false, false);
    }
}

void MainWindow::onGetLogs()
{
    pushWaitCursor();
    setEnabled(false);
    device->getLogs();
}

void MainWindow::onGetLogsComplete(QStringList logs)
{
    popWaitCursor();
    setEnabled(true);
    inform(this, tr("Orvik Logs"), logs.join(QString()));
}

// ---- information chain and version policy --------------------------------

void MainWindow::onGetInfoComplete(uchar position, QString name)
{
    ui->nameLabel->setEnabled(true);
    ui->nameLabel->setText(name);
    ui->positionComboBox->setEnabled(true);
    ui->positionComboBox->insertItem(0, tr("Undefined"));
    ui->positionComboBox->insertItem(1, tr("Front"));
    ui->positionComboBox->insertItem(2, tr("Back"));
    ui->positionComboBox->setCurrentIndex(position <= 2 ? position : 0);
    device->getHwRev();
}

void MainWindow::onGetHwRevComplete(QString hwRev)
{
    ui->hwRevLabel->setEnabled(true);
    ui->hwRevLabel->setText(hwRev);
    if (VersionPolicy::hardwareServed(hwRev)) {
        device->getFwRev();
        return;
    }
    // A flashed device that comes back as other hardware gets no completing reset.
    if (resetAfterUpgrade)
        letGoOfUpgrade();
    warn(this, tr("Invalid Device"),
         tr("This application only works with Orvik device HW Rev ") + QLatin1String(RequiredHwRev));
}

void MainWindow::onGetFwRevComplete(QString fwRev)
{
    ui->fwRevLabel->setEnabled(true);
    ui->fwRevLabel->setText(fwRev);
    if (VersionPolicy::firmwareCurrent(fwRev))
        device->getSwRev();
    else
        offerFlash(QStringLiteral("FW"), RequiredFwRev);
}

void MainWindow::onGetSwRevComplete(QString swRev)
{
    ui->swRevLabel->setEnabled(true);
    ui->swRevLabel->setText(swRev);
    if (!VersionPolicy::softwareCurrent(swRev)) {
        offerFlash(QStringLiteral("SW"), RequiredSwRev);
        return;
    }
    if (resetAfterUpgrade) {
        // The freshly flashed device passed: the reset completes the upgrade.
        onStartReset();
        return;
    }
    enableControls(true, true, false, false, true, true);
    device->getBatt();
}

void MainWindow::onGetBattComplete(uchar battPercent)
{
    if (battPercent > 100)
        return;
    inform(this, tr("Battery Level"), tr("Orvik battery at ") + QString::number(battPercent) + QLatin1Char('%'));
}

// Warning first, then the question; both revision kinds start the same upgrade.
void MainWindow::offerFlash(const QString &revisionKind, const char *required)
{
    const QString value = QLatin1String(required);
    const quint64 offered = connection();
    warn(this, tr("Incorrect Version"),
         tr("This application only works with Orvik device %1 Rev ").arg(revisionKind) + value);
    if (!stillConnected(offered))
        return;
    const bool accepted =
            ask(this, tr("Flash Orvik Device"), tr("Change Orvik device %1 Rev to ").arg(revisionKind) + value);
    if (!stillConnected(offered))
        return;
    if (!accepted) {
        if (resetAfterUpgrade)
            letGoOfUpgrade();
        return;
    }
    setBusy();
    device->enterUpgradeMode();
}

// ---- firmware upgrade ----------------------------------------------------

// The flashed device will not get its completing reset (another flash
// declined or refused, or other hardware): the window drops what the update
// holds and is left as after the same answer without one.
void MainWindow::letGoOfUpgrade()
{
    resetAfterUpgrade = false;
    destroyProgressDialog();
    // Nothing else is outstanding while the chain runs: every cursor left is an update's.
    popAllWaitCursors();
    upgradeCursor = false;
}

void MainWindow::onUpgradeReady(bool status)
{
    popWaitCursor();
    if (status) {
        enableControls(false, false, false, false, false, false);
        updating = true;
        device->doDfuUpgrade();
    } else {
        if (resetAfterUpgrade)
            letGoOfUpgrade();
        const quint64 refused = connection();
        warn(this, tr("Upgrade Failed"), tr("Failed to put Orvik Device into firmware upgrade mode"));
        if (stillConnected(refused))
            enableControls(true, true, false, false, true, true);
    }
}

void MainWindow::onUpdateStarted(int total)
{
    // A dialog left from an earlier successful run would otherwise linger unreferenced.
    if (progressDialog)
        destroyProgressDialog();
    progressDialog =
            new QProgressDialog(tr("The unit will be updated and reset"), QString(), 0, total, this, Qt::WindowFlags());
    progressDialog->setWindowTitle(tr("Updating Orvik"));
    progressDialog->setWindowFlags(progressDialog->windowFlags() & ~Qt::WindowContextHelpButtonHint);
    progressDialog->setCancelButton(nullptr);
    progressDialog->setValue(0);
    progressDialog->show();
    if (!upgradeCursor)
        pushWaitCursor();
    upgradeCursor = true;
    enableControls(false, false, false, false, false, false);
}

void MainWindow::onUpdateProgress(int current)
{
    if (progressDialog)
        progressDialog->setValue(current);
}

void MainWindow::onUpdateFinished(Dfu::ErrorType error)
{
    device->close();
    radioModel->removeRows(0, radioModel->rowCount());
    enableControls(false, false, false, false, false, false);
    clearDeviceInfo();
    if (error == Dfu::Success) {
        resetAfterUpgrade = true;
    } else {
        destroyProgressDialog();
        popWaitCursor();
        upgradeCursor = false;
        QString text;
        switch (error) {
        case Dfu::NoResponseError:
            text = tr("Orvik Device did not respond");
            break;
        case Dfu::IncorrectResponseError:
            text = tr("Orvik Device sent incorrect response");
            break;
        case Dfu::InvalidResponseError:
            text = tr("Orvik Device sent invalid response");
            break;
        default:
            break;
        }
        if (!text.isEmpty())
            warn(this, tr("Upgrade Failed"), text);
    }
    updating = false;
    QTimer::singleShot(ReattachAfterUpgradeMs, Qt::PreciseTimer, this, [this] { attachDevice(); });
}

// ---- about ---------------------------------------------------------------

void MainWindow::onAbout()
{
    auto *about = new AboutDialog(this);
    about->setWindowFlags(Qt::SplashScreen);
    about->show();
}
