#ifndef SIM_APPDEVICE_H
#define SIM_APPDEVICE_H

#include "options.h"

#include <QByteArray>
#include <QObject>

// The device's application firmware: cuts request frames from the byte stream
// and answers each as the device does. Strict: an unknown code or a length that
// does not fit the code is a violation and gets no answer.
class AppDevice : public QObject
{
    Q_OBJECT

public:
    // An updated device answers with the options' after-update identity.
    AppDevice(const SimOptions &options, bool updated, QObject *parent = nullptr);

    // Handles every complete request in the stream. Stops at a request that
    // hands the line over (upgrade mode, reset, unplug); the bytes after it
    // are left for takeRemainder().
    void feed(const QByteArray &bytes);
    QByteArray takeRemainder();
    bool halted() const { return stopped; }
    // The request that unplugs the device instead of being answered (0: none).
    void setUnplugRequest(int code) { unplugCode = code; }
    // The request whose answer is cut after its first `bytes` bytes by an
    // unplug (0: none).
    void setCutReply(int code, int bytes) { cutCode = code, cutBytes = bytes; }

    static int requestLength(int code);

signals:
    void requestReceived(const QByteArray &frame);
    void reply(const QByteArray &frame);
    void violation(const QString &reason);
    void enterBootloader();
    void resetRequested();
    void unplugRequested();
    // The cut answer has been sent; the unplug is due.
    void replyCut();

private:
    void handle(const QByteArray &frame);
    void send(int code, const QByteArray &payload);
    void sendStatus(int code, int status) { send(code, QByteArray(1, char(status))); }

    const SimOptions &options;
    const QByteArray name;
    const QByteArray hwRev;
    const QByteArray fwRev;
    const QByteArray swRev;
    QByteArray buffer;
    bool stopped = false;
    int unplugCode = 0;
    int cutCode = 0;
    int cutBytes = 0;
    bool cutting = false;
    QByteArray cutAnswer;
    int nextLog = 0;
    QByteArray pairingAddress; // set while a pass-key answer is awaited
};

#endif // SIM_APPDEVICE_H
