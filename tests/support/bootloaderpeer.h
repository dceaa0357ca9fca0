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
    explicit BootloaderPeer(QObject *parent = nullptr);

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
