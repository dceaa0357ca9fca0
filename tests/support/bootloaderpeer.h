#ifndef BOOTLOADERPEER_H
#define BOOTLOADERPEER_H

#include "bootloader.h"
#include "ptypair.h"

#include <QElapsedTimer>
#include <QObject>
#include <QStringList>

class QSocketNotifier;

// The simulator's strict DFU bootloader on a pseudo-terminal inside the test process: the code under test opens
// slavePath() and talks to the same receiver the simulator program runs, with its checks and fault injection.
class BootloaderPeer : public QObject
{
    Q_OBJECT

public:
    explicit BootloaderPeer(QObject *parent = nullptr);

    QString slavePath() const { return pty.slavePath(); }
    Bootloader *engine() const { return boot; }
    // Writes bytes to the code under test as if the bootloader had sent them.
    bool send(const QByteArray &bytes) { return pty.write(bytes); }
    void hangUp();

    QStringList violations;

signals:
    void replied(const QByteArray &frame);

private:
    void onReadable();

    PtyPair pty;
    QElapsedTimer clock;
    Bootloader *boot;
    QSocketNotifier *notifier;
};

#endif // BOOTLOADERPEER_H
