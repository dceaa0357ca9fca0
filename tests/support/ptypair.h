#ifndef PTYPAIR_H
#define PTYPAIR_H

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QString>

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <unistd.h>

// The code under test opens slavePath() as its port and the test plays the device on the master. The pair holds the raw
// slave open itself, so that the master keeps working while the port under test is closed and reopened.
class PtyPair
{
    Q_DISABLE_COPY(PtyPair)

public:
    PtyPair()
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
    ~PtyPair()
    {
        closeMaster();
        ::close(slaveFd);
    }
    QString slavePath() const { return path; }
    int masterDescriptor() const { return masterFd; }

    // False if the master is closed or takes less (test writes are far below the pty's buffer).
    bool write(const QByteArray &data)
    {
        return masterFd >= 0 && ::write(masterFd, data.constData(), size_t(data.size())) == data.size();
    }

    // What the slave side wrote, running the event loop meanwhile (a port's writes leave its buffer only there):
    // returns once minBytes arrived or after timeoutMs; minBytes 0 takes what is there.
    QByteArray read(int minBytes = 0, int timeoutMs = 5000)
    {
        QByteArray data;
        char chunk[512];
        for (const QDeadlineTimer deadline(timeoutMs); masterFd >= 0;) {
            for (ssize_t n; (n = ::read(masterFd, chunk, sizeof chunk)) > 0;)
                data.append(chunk, int(n));
            if (data.size() >= minBytes || deadline.hasExpired())
                break;
            QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
            pollfd fd{ masterFd, POLLIN, 0 };
            ::poll(&fd, 1, 1);
        }
        return data;
    }

    // Hangs up the line: the slave side then reads end-of-file. Closing -1 again does nothing.
    void closeMaster()
    {
        ::close(masterFd);
        masterFd = -1;
    }

private:
    int masterFd = -1;
    int slaveFd = -1;
    QString path;
};

#endif // PTYPAIR_H
