#include "bootloaderpeer.h"

BootloaderPeer::BootloaderPeer(QObject *parent)
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
