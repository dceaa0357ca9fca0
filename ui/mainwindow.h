#ifndef ORVIK_MAINWINDOW_H
#define ORVIK_MAINWINDOW_H

#include "orvikdevice.h"

#include <QByteArray>
#include <QHash>
#include <QItemSelection>
#include <QMainWindow>
#include <QPointer>
#include <QProgressDialog>
#include <QSerialPort>
#include <QString>
#include <QStringList>

class QPushButton;
class QStringListModel;

namespace Ui {
class MainWindow;
}

// The operator's window and the controller behind it: attaches to the device
// and keeps attaching, reads its identity and revisions after every attach,
// enforces the version policy and drives scan, pairing, alerts, reset, logs
// and the firmware upgrade.
class MainWindow : public QMainWindow
{
    Q_OBJECT

public:
    explicit MainWindow(QString portName, QWidget *parent = nullptr);
    ~MainWindow() override;

signals:
    void pairRequest(QByteArray bdAddr, uchar position);
    void passKeyVerified(QByteArray bdAddr, bool status);

public slots:
    void onStartScan();
    void onStartReset();
    void onUpperGpio();
    void onLowerGpio();
    void onGetLogs();
    void addRadio(QByteArray bdAddr, QByteArray classOfDevice, QString device);
    void onScanComplete(bool status);
    void radioSelected(QItemSelection selected, QItemSelection deselected);
    void doPair();
    void onVerifyPassKey(QByteArray bdAddr, uint passKey);
    void onPairComplete(bool status);
    void onUpgradeReady(bool status);
    void onUpperGpioComplete(bool status);
    void onLowerGpioComplete(bool status);
    void onResetComplete(bool status);
    void onGetInfoComplete(uchar position, QString name);
    void onGetHwRevComplete(QString hwRev);
    void onGetFwRevComplete(QString fwRev);
    void onGetSwRevComplete(QString swRev);
    void onGetBattComplete(uchar battPercent);
    void onGetLogsComplete(QStringList logs);
    void onError(QSerialPort::SerialPortError error);
    void onUpdateStarted(int total);
    void onUpdateProgress(int current);
    void onUpdateFinished(Dfu::ErrorType error);
    void onAbout();

private:
    void enableControls(bool scan, bool gpio, bool pair, bool list, bool reset, bool logs);
    void clearDeviceInfo();
    void setBusy();
    void attachDevice();
    void requestInfo();
    quint64 connection() const;
    bool stillConnected(quint64 before) const;
    void offerFlash(const QString &revisionKind, const char *required);
    void toggleGpio(QPushButton *button, const QString &emergencyText, const QString &normalText,
                    void (OrvikDevice::*request)(bool));
    void gpioComplete(bool status, const QString &failure);
    void clearRadios();
    void destroyProgressDialog();
    void letGoOfUpgrade();

    QString portName;
    Ui::MainWindow *ui;
    QStringListModel *radioModel = nullptr;
    OrvikDevice *device = nullptr;
    QHash<QString, QByteArray> radios;
    // Guarded so that a dialog deleted by any route reads as null, never twice.
    QPointer<QProgressDialog> progressDialog;
    bool resetAfterUpgrade = false;
    // The busy cursor of an upgrade is on the stack: from its start until it
    // fails, is let go of, or the port opens after its completing reset. A new
    // run takes over an earlier one's, so an upgrade never holds two.
    bool upgradeCursor = false;
    // From the hand-over of the port to the updater until the end of the
    // update has scheduled its own attach.
    bool updating = false;
    // Numbers attach attempts. Retry and information timers carry the number
    // of the attempt that started them and stand down once a later attempt
    // has been made, so a quick unplug and replug never runs two chains; a
    // modal box carries it as the connection it was about.
    quint64 attachAttempt = 0;
    // Set while attach() runs: a failed open may report ResourceError from
    // inside it, which must not start another attempt within this one.
    bool attaching = false;
};

#endif // ORVIK_MAINWINDOW_H
