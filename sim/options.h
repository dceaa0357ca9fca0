#ifndef SIM_OPTIONS_H
#define SIM_OPTIONS_H

#include "revisions.h"

#include <QByteArray>
#include <QList>
#include <QMap>
#include <QSet>
#include <QString>
#include <QStringList>

struct SimRadio
{
    QByteArray address; // 6 bytes, wire order
    QByteArray classOfDevice; // 3 bytes, wire order
    QByteArray name; // UTF-8
};

enum class SimFault { NoReply, WrongAck, BadEscape, DoubleAck, AckThenEmpty };

struct SimUnplug
{
    enum Kind { Never, AfterMs, AtRequest, AtPacket, InReply };
    Kind kind = Never;
    int value = 0; // ms, request code or packet index
    int replyBytes = 0; // InReply: the bytes of the answer sent before the unplug
    int occurrence = 1; // AtRequest: the how-manieth such request, counted over every plug
};

// Everything the command line can set. Defaults describe a device that passes
// the tool's version policy.
struct SimOptions
{
    QString link;
    QString trace;
    QByteArray name = "ORV-0001";
    int position = 1;
    QByteArray hwRev = RequiredHwRev;
    QByteArray fwRev = RequiredFwRev;
    QByteArray swRev = RequiredSwRev;
    // Revisions after each installed update in turn, the last one staying;
    // no hardware revision given: it stays what it was.
    QList<QByteArray> afterHw;
    QList<QByteArray> afterFw = { RequiredFwRev };
    QList<QByteArray> afterSw = { RequiredSwRev };
    // After a completed update; empty: the same as before.
    QByteArray afterName;
    int battery = 87;
    QList<SimRadio> radios;
    bool passkey = true;
    quint32 passkeyValue = 123456;
    QList<QByteArray> logs;
    QMap<int, int> status; // request code -> status byte of its reply
    QMap<int, int> afterStatus; // the same once an update has been installed
    QSet<int> silent; // request codes never answered
    SimUnplug unplug;
    int replugDelayMs = 500;
    QMap<int, SimFault> faults; // DFU packet index -> fault
    int dfuTimeoutMs = 3000;
    int reenumerateDelayMs = 300;
    int baud = 0; // 0: full pty speed
    bool inBootloader = false; // no valid application until an update installs
    // Faults of the line and of the device beyond its answers.
    bool strayByte = false;
    bool echo = false;
    bool stayInBootloader = false;
    bool exitWithParent = false;
    bool help = false;

    SimOptions();
    // What the application firmware answers after `installs` installed updates.
    int statusFor(int code, int installs = 0) const
    {
        return installs > 0 && afterStatus.contains(code) ? afterStatus.value(code) : status.value(code, 0);
    }
    QByteArray hwRevAfter(int installs) const { return revisionAfter(hwRev, afterHw, installs); }
    QByteArray fwRevAfter(int installs) const { return revisionAfter(fwRev, afterFw, installs); }
    QByteArray swRevAfter(int installs) const { return revisionAfter(swRev, afterSw, installs); }

private:
    static QByteArray revisionAfter(const QByteArray &before, const QList<QByteArray> &after, int installs)
    {
        return installs == 0 || after.isEmpty() ? before : after.at(qMin(installs, int(after.size())) - 1);
    }
};

// Parses the arguments after the program name. On failure returns false and
// sets *error to a one-line message naming the option.
bool parseSimOptions(const QStringList &args, SimOptions *options, QString *error);

QString simHelpText();

#endif // SIM_OPTIONS_H
