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

enum class SimFault { NoReply, WrongAck, BadEscape };

struct SimUnplug
{
    enum Kind { Never, AfterMs, AtRequest, AtPacket, InReply };
    Kind kind = Never;
    int value = 0; // ms, request code or packet index
    int replyBytes = 0; // InReply: the bytes of the answer sent before the unplug
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
    QByteArray afterFw = RequiredFwRev;
    QByteArray afterSw = RequiredSwRev;
    // After a completed update; the same as before unless given.
    QByteArray afterName;
    QByteArray afterHw;
    int battery = 87;
    QList<SimRadio> radios;
    bool passkey = true;
    quint32 passkeyValue = 123456;
    QList<QByteArray> logs;
    QMap<int, int> status; // request code -> status byte of its reply
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
    int statusFor(int code) const { return status.value(code, 0); }
};

// Parses the arguments after the program name. On failure returns false and
// sets *error to a one-line message naming the option.
bool parseSimOptions(const QStringList &args, SimOptions *options, QString *error);

QString simHelpText();

#endif // SIM_OPTIONS_H
