#include "ptyport.h"

#include <QSocketNotifier>
#include <QTimer>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <stdlib.h>
#include <sys/inotify.h>
#include <termios.h>
#include <unistd.h>

namespace {

QString systemError(const char *what)
{
    return QStringLiteral("%1: %2").arg(QLatin1String(what), QString::fromLocal8Bit(std::strerror(errno)));
}

void closeFd(int &fd)
{
    if (fd >= 0)
        ::close(fd);
    fd = -1;
}

int msUntil(qint64 dueNs, qint64 nowNs)
{
    // Round up: a timer must not fire before the byte is due.
    return int(qMax<qint64>(0, (dueNs - nowNs + 999999) / 1000000));
}

} // namespace

PtyPort::PtyPort(int baud, const QElapsedTimer &clock, QObject *parent)
    : QObject(parent),
      byteNs(baud > 0 ? 10000000000LL / baud : 0),
      clock(clock),
      outTimer(new QTimer(this)),
      inTimer(new QTimer(this))
{
    outTimer->setSingleShot(true);
    outTimer->setTimerType(Qt::PreciseTimer);
    inTimer->setSingleShot(true);
    inTimer->setTimerType(Qt::PreciseTimer);
    connect(outTimer, &QTimer::timeout, this, &PtyPort::pumpOutput);
    connect(inTimer, &QTimer::timeout, this, &PtyPort::deliverInput);
}

PtyPort::~PtyPort()
{
    close();
}

bool PtyPort::open(QString *error)
{
    master = ::posix_openpt(O_RDWR | O_NOCTTY);
    if (master < 0) {
        *error = systemError("posix_openpt");
        return false;
    }
    char name[128];
    if (::grantpt(master) != 0 || ::unlockpt(master) != 0 || ::ptsname_r(master, name, sizeof name) != 0) {
        *error = systemError("pty setup");
        closeFd(master);
        return false;
    }
    ::fcntl(master, F_SETFD, FD_CLOEXEC);
    ::fcntl(master, F_SETFL, ::fcntl(master, F_GETFL) | O_NONBLOCK);
    path = QString::fromLocal8Bit(name);

    slave = ::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
    termios tio;
    if (slave < 0 || ::tcgetattr(slave, &tio) != 0) {
        *error = systemError("pty slave");
        close();
        return false;
    }
    // Raw at once: before the tool opens it, nothing may be echoed or translated.
    ::cfmakeraw(&tio);
    ::tcsetattr(slave, TCSANOW, &tio);

    // Opens and closes of the slave tell when the tool holds the port.
    watchFd = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (watchFd >= 0 && ::inotify_add_watch(watchFd, name, IN_OPEN | IN_CLOSE) >= 0) {
        watchNotifier = new QSocketNotifier(watchFd, QSocketNotifier::Read, this);
        connect(watchNotifier, &QSocketNotifier::activated, this, &PtyPort::onPeerEvent);
    } else {
        closeFd(watchFd);
    }

    readNotifier = new QSocketNotifier(master, QSocketNotifier::Read, this);
    connect(readNotifier, &QSocketNotifier::activated, this, &PtyPort::onReadable);
    writeNotifier = new QSocketNotifier(master, QSocketNotifier::Write, this);
    writeNotifier->setEnabled(false);
    connect(writeNotifier, &QSocketNotifier::activated, this, &PtyPort::onWritable);
    return true;
}

void PtyPort::close()
{
    // May run inside a notifier's own signal, so the notifiers go later.
    for (QSocketNotifier **notifier : { &readNotifier, &writeNotifier, &watchNotifier }) {
        if (*notifier) {
            (*notifier)->setEnabled(false);
            (*notifier)->deleteLater();
            *notifier = nullptr;
        }
    }
    outTimer->stop();
    inTimer->stop();
    out.clear();
    outDue.clear();
    in.clear();
    inDue.clear();
    closeFd(watchFd);
    closeFd(slave);
    closeFd(master);
}

void PtyPort::write(const QByteArray &bytes)
{
    if (master < 0 || bytes.isEmpty())
        return;
    const qint64 now = nowNs();
    for (int i = 0; i < bytes.size(); ++i) {
        lineFreeNs = qMax(lineFreeNs, now) + byteNs;
        outDue.append(byteNs ? lineFreeNs : 0);
    }
    out.append(bytes);
    pumpOutput();
}

void PtyPort::pumpOutput()
{
    if (master < 0)
        return;
    const qint64 now = nowNs();
    int due = 0;
    while (due < out.size() && outDue.at(due) <= now)
        ++due;
    if (due > 0) {
        const ssize_t written = ::write(master, out.constData(), size_t(due));
        if (written > 0) {
            out.remove(0, int(written));
            outDue.remove(0, int(written));
        } else if (written < 0 && errno != EAGAIN && errno != EINTR) {
            // Nothing sensible left to do with these bytes; do not spin on them.
            out.clear();
            outDue.clear();
        }
        if (written < due && !out.isEmpty()) {
            writeNotifier->setEnabled(true);
            return;
        }
    }
    if (out.isEmpty()) {
        emit drained(now / 1000);
        return;
    }
    scheduleOutput();
}

void PtyPort::scheduleOutput()
{
    if (!out.isEmpty() && !outTimer->isActive())
        outTimer->start(msUntil(outDue.first(), nowNs()));
}

void PtyPort::onWritable()
{
    writeNotifier->setEnabled(false);
    pumpOutput();
}

void PtyPort::onReadable()
{
    char buffer[4096];
    QByteArray bytes;
    for (;;) {
        const ssize_t n = ::read(master, buffer, sizeof buffer);
        if (n > 0) {
            bytes.append(buffer, int(n));
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n == 0 || (errno != EAGAIN && errno != EWOULDBLOCK)) {
            // Cannot happen while our own slave is open; never busy-loop on it.
            readNotifier->setEnabled(false);
        }
        break;
    }
    if (bytes.isEmpty())
        return;
    const qint64 now = nowNs();
    if (!byteNs) {
        emit received(bytes, now / 1000);
        return;
    }
    for (int i = 0; i < bytes.size(); ++i) {
        inLineFreeNs = qMax(inLineFreeNs, now) + byteNs;
        inDue.append(inLineFreeNs);
    }
    in.append(bytes);
    scheduleInput();
}

void PtyPort::deliverInput()
{
    const qint64 now = nowNs();
    int due = 0;
    while (due < in.size() && inDue.at(due) <= now)
        ++due;
    if (due > 0) {
        const QByteArray bytes = in.left(due);
        in.remove(0, due);
        inDue.remove(0, due);
        emit received(bytes, now / 1000);
    }
    scheduleInput();
}

void PtyPort::scheduleInput()
{
    if (!in.isEmpty() && !inTimer->isActive())
        inTimer->start(msUntil(inDue.first(), nowNs()));
}

void PtyPort::onPeerEvent()
{
    alignas(inotify_event) char buffer[4096];
    bool lastWasClose = false;
    for (;;) {
        const ssize_t n = ::read(watchFd, buffer, sizeof buffer);
        if (n <= 0)
            break;
        for (ssize_t offset = 0; offset + ssize_t(sizeof(inotify_event)) <= n;) {
            inotify_event event;
            std::memcpy(&event, buffer + offset, sizeof event);
            offset += ssize_t(sizeof(inotify_event)) + event.len;
            if (event.mask & IN_OPEN) {
                ++peers;
                lastWasClose = false;
                emit peerChanged(true);
            } else if (event.mask & IN_CLOSE) {
                peers = qMax(0, peers - 1);
                lastWasClose = true;
                emit peerChanged(false);
            }
        }
    }
    // Bytes sent to a closed serial port are lost; a pty would keep them for
    // the next open and confuse the tool after it reattaches.
    if (lastWasClose && peers == 0 && slave >= 0) {
        ::tcflush(slave, TCIFLUSH);
        const bool hadOutput = !out.isEmpty();
        out.clear();
        outDue.clear();
        outTimer->stop();
        if (hadOutput)
            emit drained(nowNs() / 1000);
    }
}
