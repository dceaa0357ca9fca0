#ifndef SIM_PTYPORT_H
#define SIM_PTYPORT_H

#include <QByteArray>
#include <QElapsedTimer>
#include <QObject>
#include <QString>
#include <QVector>

class QSocketNotifier;
class QTimer;

// The simulated USB serial port: a pseudo-terminal master. The simulator keeps
// a slave descriptor of its own open (never read) so that the tool closing and
// reopening its side does not hang the master up.
//
// With a baud rate set, both directions behave like the real line: each byte
// takes 10 bit times, outgoing bytes are written when they would have left,
// and incoming bytes are delivered when they would have arrived.
class PtyPort : public QObject
{
    Q_OBJECT

public:
    PtyPort(int baud, const QElapsedTimer &clock, QObject *parent = nullptr);
    ~PtyPort() override;

    bool open(QString *error);
    void close();
    QString slavePath() const { return path; }

    void write(const QByteArray &bytes);
    bool idle() const { return out.isEmpty(); }

signals:
    void received(const QByteArray &bytes, qint64 atUs);
    // The last queued byte has left (or was dropped because the tool closed).
    void drained(qint64 atUs);
    // The tool opened or closed the slave.
    void peerChanged(bool open);

private:
    void onReadable();
    void onWritable();
    void onPeerEvent();
    void pumpOutput();
    void deliverInput();
    void scheduleOutput();
    void scheduleInput();
    qint64 nowNs() const { return clock.nsecsElapsed(); }

    const qint64 byteNs; // 0: no pacing
    const QElapsedTimer &clock;
    QString path;
    int master = -1;
    int slave = -1;
    int watchFd = -1;
    int peers = 0;
    QSocketNotifier *readNotifier = nullptr;
    QSocketNotifier *writeNotifier = nullptr;
    QSocketNotifier *watchNotifier = nullptr;
    QTimer *outTimer;
    QTimer *inTimer;

    QByteArray out;
    QVector<qint64> outDue; // when each queued byte has left the line
    qint64 lineFreeNs = 0;
    QByteArray in;
    QVector<qint64> inDue; // when each received byte has fully arrived
    qint64 inLineFreeNs = 0;
};

#endif // SIM_PTYPORT_H
