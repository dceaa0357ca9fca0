#ifndef BOOTLOADERPEER_H
#define BOOTLOADERPEER_H

#include "bootloader.h"
#include "ptyport.h"

#include <QElapsedTimer>
#include <QStringList>

#include <utility>

// The simulator's strict DFU bootloader on its own pseudo-terminal port, inside the test process: the code under
// test opens slavePath() and talks to the receiver the simulator program runs, with its checks and faults.
class BootloaderPeer : public QObject
{
    Q_OBJECT

public:
    explicit BootloaderPeer(QObject *parent = nullptr)
        : QObject(parent), port(new PtyPort(0, clock, this)), boot(new Bootloader(this))
    {
        clock.start();
        QString error;
        if (!port->open(&error))
            qWarning("bootloader peer: %s", qPrintable(error));
        connect(port, &PtyPort::received, boot, &Bootloader::feed);
        // A reply has left once written: the pause after it counts from here.
        connect(port, &PtyPort::drained, this, [this](qint64 atUs) {
            if (!std::exchange(stray, false))
                boot->ackSent(atUs);
        });
        connect(boot, &Bootloader::reply, this, [this](const QByteArray &frame) {
            port->write(frame);
            emit replied(frame);
        });
        connect(boot, &Bootloader::violation, this, [this](int index, const QString &reason) {
            violations.append(QStringLiteral("%1: %2").arg(index).arg(reason));
        });
    }

    QString slavePath() const { return port->slavePath(); }
    Bootloader *engine() const { return boot; }
    // Bytes as if the bootloader had sent them, though no reply of its own.
    void send(const QByteArray &bytes) { stray = true, port->write(bytes); }
    void hangUp() { port->close(); }

    QStringList violations;

signals:
    void replied(const QByteArray &frame);

private:
    QElapsedTimer clock;
    PtyPort *port;
    Bootloader *boot;
    bool stray = false;
};

#endif // BOOTLOADERPEER_H
