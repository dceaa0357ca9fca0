#ifndef PTYPAIR_H
#define PTYPAIR_H

#include <QByteArray>
#include <QString>

// A pseudo-terminal pair for tests: the code under test opens slavePath() as
// its serial port, the test plays the device on the master. The slave is put
// in raw mode and held open by the pair itself, so that the master keeps
// working while the port under test is closed and reopened. Everything is
// released on destruction.
class PtyPair
{
public:
    PtyPair();
    ~PtyPair();
    PtyPair(const PtyPair &) = delete;
    PtyPair &operator=(const PtyPair &) = delete;

    bool isValid() const { return masterFd >= 0; }
    QString slavePath() const { return path; }

    // Writes all of data to the master; false if the master is closed or fails.
    bool write(const QByteArray &data);

    // Collects what the slave side wrote, running the Qt event loop meanwhile
    // (a port's writes only leave its buffer from there). Returns once at least
    // minBytes arrived or after timeoutMs; minBytes 0 takes what is there.
    QByteArray read(int minBytes = 0, int timeoutMs = 5000);

    // Hangs up the line: the slave side then sees end-of-file.
    void closeMaster();

private:
    int masterFd = -1;
    int slaveFd = -1;
    QString path;
};

#endif // PTYPAIR_H
