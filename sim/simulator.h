#ifndef SIM_SIMULATOR_H
#define SIM_SIMULATOR_H

#include "options.h"
#include "trace.h"

#include <QElapsedTimer>
#include <QJsonArray>
#include <QObject>
#include <QStringList>

#include <functional>

class AppDevice;
class Bootloader;
class PtyPort;
class QTimer;

// Drives the engines over a pseudo-terminal: plugging, re-enumeration, the
// bootloader's timers, the link and the trace.
class Simulator : public QObject
{
    Q_OBJECT

public:
    explicit Simulator(const SimOptions &options, QObject *parent = nullptr);
    ~Simulator() override;

    bool start(QString *error);
    // Writes the summary, closes the pty and removes the link. Idempotent.
    void shutdown();

private:
    enum class Mode { App, Dfu, Restarting, Unplugged };

    bool plug(QString *error);
    void unplug();
    void reenumerate(const QString &reason);
    void closePort();
    void startApp();
    void enterBootloader();
    void startBootloader();
    void onReceived(const QByteArray &bytes, qint64 atUs);
    void onDrained(qint64 atUs);
    void afterDrain(std::function<void()> action);
    void send(const QByteArray &frame);
    void finishRun(int extraDelayMs);
    void onDfuSilence();
    void endDfuSession();
    void addViolation(const char *mode, int index, const QString &reason);
    bool setLink(const QString &target, QString *error);
    void removeLink();
    const char *modeName() const;
    QByteArray dropProbes(const QByteArray &bytes);

    const SimOptions options;
    QElapsedTimer clock;
    Trace trace;
    Mode mode = Mode::Unplugged;
    PtyPort *port = nullptr;
    AppDevice *app = nullptr;
    Bootloader *boot = nullptr;
    QTimer *unplugTimer;
    QTimer *replugTimer;
    QTimer *reenumerateTimer;
    QTimer *dfuTimer;
    QTimer *followTimer;
    QString reenumerateReason;
    std::function<void()> drainAction;
    bool unplugDone = false;
    bool runEnded = false;
    bool stopped = false;
    // Waiting in the bootloader, no DFU frame yet: requests are noise to drop.
    bool probing = false;
    QByteArray probeBuffer;

    // Summary.
    qint64 bytesIn = 0;
    qint64 bytesOut = 0;
    int appRequests = 0;
    int packets = 0;
    QJsonArray images;
    bool installed = false;
    QStringList violations;
};

#endif // SIM_SIMULATOR_H
