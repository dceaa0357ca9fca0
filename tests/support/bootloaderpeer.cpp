#include "bootloaderpeer.h"

#include <QSocketNotifier>

#include <cerrno>
#include <unistd.h>

BootloaderPeer::BootloaderPeer(QObject *parent)
    : QObject(parent),
      boot(new Bootloader(this)),
      notifier(new QSocketNotifier(pty.masterDescriptor(), QSocketNotifier::Read, this))
{
    clock.start();
    connect(notifier, &QSocketNotifier::activated, this, &BootloaderPeer::onReadable);
    connect(boot, &Bootloader::violation, this, [this](int index, const QString &reason) {
        violations.append(QStringLiteral("%1: %2").arg(index).arg(reason));
    });
    // A pty takes a reply at once, so it has left when written.
    connect(boot, &Bootloader::reply, this, [this](const QByteArray &frame) {
        pty.write(frame);
        boot->ackSent(clock.nsecsElapsed() / 1000);
        emit replied(frame);
    });
}

void BootloaderPeer::onReadable()
{
    char chunk[4096];
    QByteArray bytes;
    ssize_t n;
    while ((n = ::read(pty.masterDescriptor(), chunk, sizeof chunk)) > 0)
        bytes.append(chunk, int(n));
    if (n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR))
        notifier->setEnabled(false);
    if (!bytes.isEmpty())
        boot->feed(bytes, clock.nsecsElapsed() / 1000);
}

void BootloaderPeer::hangUp()
{
    notifier->setEnabled(false);
    pty.closeMaster();
}
