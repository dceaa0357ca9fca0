#include "ptypair.h"

#include <QCoreApplication>
#include <QDeadlineTimer>

#include <cerrno>
#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

PtyPair::PtyPair()
{
    masterFd = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (masterFd < 0)
        return;
    const char *name = (grantpt(masterFd) == 0 && unlockpt(masterFd) == 0) ? ptsname(masterFd) : nullptr;
    if (name)
        slaveFd = ::open(name, O_RDWR | O_NOCTTY | O_NONBLOCK);
    termios tio;
    if (slaveFd < 0 || tcgetattr(slaveFd, &tio) != 0) {
        closeMaster();
        return;
    }
    cfmakeraw(&tio);
    tcsetattr(slaveFd, TCSANOW, &tio);
    path = QString::fromLocal8Bit(name);
}

PtyPair::~PtyPair()
{
    closeMaster();
    if (slaveFd >= 0)
        ::close(slaveFd);
}

bool PtyPair::write(const QByteArray &data)
{
    qint64 done = 0;
    while (masterFd >= 0 && done < data.size()) {
        const ssize_t n = ::write(masterFd, data.constData() + done, size_t(data.size() - done));
        if (n > 0) {
            done += n;
        } else if (n < 0 && errno == EAGAIN) {
            // The slave side has not drained yet; let the port under test read.
            QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        } else if (!(n < 0 && errno == EINTR)) {
            return false;
        }
    }
    return masterFd >= 0;
}

QByteArray PtyPair::read(int minBytes, int timeoutMs)
{
    QByteArray data;
    const QDeadlineTimer deadline(timeoutMs);
    char chunk[512];
    while (masterFd >= 0) {
        const ssize_t n = ::read(masterFd, chunk, sizeof chunk);
        if (n > 0) {
            data.append(chunk, int(n));
            continue;
        }
        if (data.size() >= minBytes || deadline.hasExpired())
            break;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
        pollfd fd{masterFd, POLLIN, 0};
        ::poll(&fd, 1, 1);
    }
    return data;
}

void PtyPair::closeMaster()
{
    if (masterFd >= 0)
        ::close(masterFd);
    masterFd = -1;
}
