#ifndef PTYPAIR_H
#define PTYPAIR_H

#include <QByteArray>
#include <QString>

// A pseudo-terminal pair for tests: the code under test opens slavePath() as
// its serial port and the test plays the device on the master. The pair holds
// the raw-mode slave open itself, so that the master keeps working while the
// port under test is closed and reopened.
class PtyPair
{
    Q_DISABLE_COPY(PtyPair)

public:
    PtyPair();
    ~PtyPair();
    QString slavePath() const { return path; }
    // Writes data to the master; false if the master is closed or takes less.
    bool write(const QByteArray &data);
    // What the slave side wrote, running the event loop meanwhile (a port's
    // writes leave its buffer only there): returns once minBytes arrived or
    // after timeoutMs; minBytes 0 takes what is there.
    QByteArray read(int minBytes = 0, int timeoutMs = 5000);
    // Hangs up the line: the slave side then reads end-of-file.
    void closeMaster();

private:
    int masterFd = -1;
    int slaveFd = -1;
    QString path;
};

#endif // PTYPAIR_H
