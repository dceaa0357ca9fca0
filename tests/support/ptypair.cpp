#include "ptypair.h"

#include <QCoreApplication>
#include <QDeadlineTimer>

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <unistd.h>

PtyPair::PtyPair()
{
    char name[128];
    termios tio;
    if (openpty(&masterFd, &slaveFd, name, nullptr, nullptr) != 0 || tcgetattr(slaveFd, &tio) != 0)
        return;
    cfmakeraw(&tio);
    tcsetattr(slaveFd, TCSANOW, &tio);
    fcntl(masterFd, F_SETFL, O_NONBLOCK);
    path = QString::fromLocal8Bit(name);
}

PtyPair::~PtyPair()
{
    closeMaster();
    ::close(slaveFd);
}

// Test writes are far below the pty's buffer: one write takes them whole.
bool PtyPair::write(const QByteArray &data)
{
    return masterFd >= 0 && ::write(masterFd, data.constData(), size_t(data.size())) == data.size();
}

QByteArray PtyPair::read(int minBytes, int timeoutMs)
{
    QByteArray data;
    char chunk[512];
    for (const QDeadlineTimer deadline(timeoutMs); masterFd >= 0;) {
        for (ssize_t n; (n = ::read(masterFd, chunk, sizeof chunk)) > 0;)
            data.append(chunk, int(n));
        if (data.size() >= minBytes || deadline.hasExpired())
            break;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
        pollfd fd{masterFd, POLLIN, 0};
        ::poll(&fd, 1, 1);
    }
    return data;
}

// Closing -1 again does nothing.
void PtyPair::closeMaster()
{
    ::close(masterFd);
    masterFd = -1;
}
