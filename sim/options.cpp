#include "options.h"

#include <algorithm>
#include <iterator>
#include <limits>

namespace {

constexpr int MaxDelayMs = 24 * 3600 * 1000;
// A reply frame is at most 255 bytes; these are the room left for each text.
constexpr int MaxNameBytes = 255 - 3;
constexpr int MaxRevisionBytes = 255 - 2;
constexpr int MaxLogBytes = 255 - 2;
constexpr int MaxRadioNameBytes = 255 - 11;

const int codesWithStatus[] = { 0x01, 0x02, 0x04, 0x05, 0x06, 0x07 };

QString quoted(const QString &text)
{
    return QLatin1Char('"') + text + QLatin1Char('"');
}

bool parseInteger(const QString &text, qint64 min, qint64 max, qint64 *value)
{
    bool ok = false;
    const qint64 v = text.toLongLong(&ok, 10);
    if (!ok || v < min || v > max)
        return false;
    *value = v;
    return true;
}

// Request codes are written "0x0D" or "13".
bool parseCode(const QString &text, int *code)
{
    bool ok = false;
    int v = 0;
    if (text.startsWith(QLatin1String("0x"), Qt::CaseInsensitive))
        v = text.mid(2).toInt(&ok, 16);
    else
        v = text.toInt(&ok, 10);
    if (!ok || v < 0x01 || v > 0x0D)
        return false;
    *code = v;
    return true;
}

bool parseHexBytes(const QString &text, int size, QByteArray *bytes)
{
    if (text.size() != size * 2)
        return false;
    for (QChar c : text) {
        if (!QStringLiteral("0123456789abcdefABCDEF").contains(c))
            return false;
    }
    *bytes = QByteArray::fromHex(text.toLatin1());
    return true;
}

// "\n" stands for a newline and "\\" for a backslash, so that log entries like
// the default "boot ok\n" can be given from a shell.
QByteArray unescapeLog(const QString &text)
{
    const QByteArray in = text.toUtf8();
    QByteArray out;
    for (int i = 0; i < in.size(); ++i) {
        if (in.at(i) == '\\' && i + 1 < in.size() && (in.at(i + 1) == 'n' || in.at(i + 1) == '\\')) {
            out.append(in.at(i + 1) == 'n' ? '\n' : '\\');
            ++i;
        } else {
            out.append(in.at(i));
        }
    }
    return out;
}

SimRadio radio(const char *address, const char *cod, const char *name)
{
    return SimRadio{ QByteArray::fromHex(address), QByteArray::fromHex(cod), QByteArray(name) };
}

} // namespace

SimOptions::SimOptions()
    : radios{ radio("A0A1A2A3A4A5", "040262", "Orvik Radio 1"), radio("B0B1B2B3B4B5", "200404", "Headset"),
              radio("C0C1C2C3C4C5", "040262", "Orvik Radio 2") },
      logs{ QByteArray("boot ok\n"), QByteArray("battery 87%\n") }
{
}

bool parseSimOptions(const QStringList &args, SimOptions *options, QString *error)
{
    SimOptions o;
    bool radiosGiven = false;
    bool logsGiven = false;
    QSet<QString> afterGiven;

    for (int i = 0; i < args.size(); ++i) {
        QString name = args.at(i);
        QString inlineValue;
        bool hasInline = false;
        if (!name.startsWith(QLatin1String("--"))) {
            if (name == QLatin1String("-h")) {
                o.help = true;
                continue;
            }
            *error = QStringLiteral("unexpected argument %1").arg(quoted(name));
            return false;
        }
        const int eq = name.indexOf(QLatin1Char('='));
        if (eq > 0) {
            inlineValue = name.mid(eq + 1);
            name = name.left(eq);
            hasInline = true;
        }

        auto fail = [&](const QString &what) {
            *error = name + QStringLiteral(": ") + what;
            return false;
        };
        auto flag = [&]() {
            if (hasInline)
                return fail(QStringLiteral("takes no value"));
            return true;
        };
        QString value;
        auto takeValue = [&]() {
            if (hasInline) {
                value = inlineValue;
                return true;
            }
            if (i + 1 >= args.size())
                return fail(QStringLiteral("missing value"));
            value = args.at(++i);
            return true;
        };
        auto number = [&](qint64 min, qint64 max, qint64 *out) {
            if (!takeValue())
                return false;
            if (!parseInteger(value, min, max, out))
                return fail(
                        QStringLiteral("expected a number from %1 to %2, got %3").arg(min).arg(max).arg(quoted(value)));
            return true;
        };
        auto text = [&](int maxBytes, QByteArray *out) {
            if (!takeValue())
                return false;
            const QByteArray bytes = value.toUtf8();
            if (bytes.size() > maxBytes)
                return fail(QStringLiteral("text longer than %1 bytes").arg(maxBytes));
            *out = bytes;
            return true;
        };
        qint64 n = 0;

        if (name == QLatin1String("--help")) {
            if (!flag())
                return false;
            o.help = true;
        } else if (name == QLatin1String("--link")) {
            if (!takeValue())
                return false;
            if (value.isEmpty())
                return fail(QStringLiteral("empty path"));
            o.link = value;
        } else if (name == QLatin1String("--trace")) {
            if (!takeValue())
                return false;
            if (value.isEmpty())
                return fail(QStringLiteral("empty path"));
            o.trace = value;
        } else if (name == QLatin1String("--name")) {
            if (!text(MaxNameBytes, &o.name))
                return false;
        } else if (name == QLatin1String("--position")) {
            if (!number(0, 255, &n))
                return false;
            o.position = int(n);
        } else if (name == QLatin1String("--hw-rev")) {
            if (!text(MaxRevisionBytes, &o.hwRev))
                return false;
        } else if (name == QLatin1String("--fw-rev")) {
            if (!text(MaxRevisionBytes, &o.fwRev))
                return false;
        } else if (name == QLatin1String("--sw-rev")) {
            if (!text(MaxRevisionBytes, &o.swRev))
                return false;
        } else if (name == QLatin1String("--after-hw") || name == QLatin1String("--after-fw")
                   || name == QLatin1String("--after-sw")) {
            QList<QByteArray> &after = name.endsWith(QLatin1String("hw")) ? o.afterHw
                    : name.endsWith(QLatin1String("fw"))                  ? o.afterFw
                                                                          : o.afterSw;
            QByteArray revision;
            if (!text(MaxRevisionBytes, &revision))
                return false;
            // The first one given replaces the default; each further one is for the next update.
            if (!afterGiven.contains(name))
                after.clear();
            afterGiven.insert(name);
            after.append(revision);
        } else if (name == QLatin1String("--after-name")) {
            if (!text(MaxNameBytes, &o.afterName))
                return false;
        } else if (name == QLatin1String("--battery")) {
            if (!number(0, 255, &n))
                return false;
            o.battery = int(n);
        } else if (name == QLatin1String("--radio")) {
            if (!takeValue())
                return false;
            const int first = value.indexOf(QLatin1Char(','));
            const int second = first < 0 ? -1 : value.indexOf(QLatin1Char(','), first + 1);
            SimRadio r;
            if (second < 0 || !parseHexBytes(value.left(first), 6, &r.address)
                || !parseHexBytes(value.mid(first + 1, second - first - 1), 3, &r.classOfDevice))
                return fail(
                        QStringLiteral("expected ADDR,COD,NAME with 12 and 6 hex digits, got %1").arg(quoted(value)));
            r.name = value.mid(second + 1).toUtf8();
            if (r.name.size() > MaxRadioNameBytes)
                return fail(QStringLiteral("radio name longer than %1 bytes").arg(MaxRadioNameBytes));
            if (!radiosGiven)
                o.radios.clear();
            radiosGiven = true;
            o.radios.append(r);
        } else if (name == QLatin1String("--no-radios")) {
            if (!flag())
                return false;
            o.radios.clear();
            radiosGiven = true;
        } else if (name == QLatin1String("--passkey")) {
            if (!number(0, std::numeric_limits<quint32>::max(), &n))
                return false;
            o.passkey = true;
            o.passkeyValue = quint32(n);
        } else if (name == QLatin1String("--no-passkey")) {
            if (!flag())
                return false;
            o.passkey = false;
        } else if (name == QLatin1String("--log")) {
            if (!takeValue())
                return false;
            const QByteArray entry = unescapeLog(value);
            if (entry.size() > MaxLogBytes)
                return fail(QStringLiteral("text longer than %1 bytes").arg(MaxLogBytes));
            if (!logsGiven)
                o.logs.clear();
            logsGiven = true;
            o.logs.append(entry);
        } else if (name == QLatin1String("--no-logs")) {
            if (!flag())
                return false;
            o.logs.clear();
            logsGiven = true;
        } else if (name == QLatin1String("--status") || name == QLatin1String("--after-status")) {
            if (!takeValue())
                return false;
            const int sep = value.indexOf(QLatin1Char('='));
            int code = 0;
            qint64 status = 0;
            if (sep < 0 || !parseCode(value.left(sep), &code) || !parseInteger(value.mid(sep + 1), 0, 255, &status))
                return fail(QStringLiteral("expected CODE=VALUE with a request code and a byte, got %1")
                                    .arg(quoted(value)));
            if (std::find(std::begin(codesWithStatus), std::end(codesWithStatus), code) == std::end(codesWithStatus))
                return fail(QStringLiteral("the reply to request 0x%1 has no status byte")
                                    .arg(code, 2, 16, QLatin1Char('0')));
            (name == QLatin1String("--status") ? o.status : o.afterStatus).insert(code, int(status));
        } else if (name == QLatin1String("--silent")) {
            if (!takeValue())
                return false;
            int code = 0;
            if (!parseCode(value, &code))
                return fail(QStringLiteral("expected a request code from 0x01 to 0x0D, got %1").arg(quoted(value)));
            o.silent.insert(code);
        } else if (name == QLatin1String("--unplug-after")) {
            if (!takeValue())
                return false;
            if (o.unplug.kind != SimUnplug::Never)
                return fail(QStringLiteral("given more than once"));
            const int sep = value.indexOf(QLatin1Char(':'));
            const QString kind = value.left(sep);
            const QString arg = sep < 0 ? QString() : value.mid(sep + 1);
            int code = 0;
            if (kind == QLatin1String("ms") && parseInteger(arg, 0, MaxDelayMs, &n)) {
                o.unplug = { SimUnplug::AfterMs, int(n) };
            } else if (kind == QLatin1String("request") && parseCode(arg.section(QLatin1Char(':'), 0, 0), &code)
                       && (!arg.contains(QLatin1Char(':'))
                           || parseInteger(arg.section(QLatin1Char(':'), 1), 1, 1000000000, &n))) {
                o.unplug = { SimUnplug::AtRequest, code };
                o.unplug.occurrence = arg.contains(QLatin1Char(':')) ? int(n) : 1;
            } else if (kind == QLatin1String("packet") && parseInteger(arg, 0, 1000000000, &n)) {
                o.unplug = { SimUnplug::AtPacket, int(n) };
            } else if (kind == QLatin1String("reply") && parseCode(arg.section(QLatin1Char(':'), 0, 0), &code)
                       && parseInteger(arg.section(QLatin1Char(':'), 1), 1, 255, &n)) {
                o.unplug = { SimUnplug::InReply, code, int(n) };
            } else {
                return fail(QStringLiteral("expected ms:N, request:0xNN[:N], reply:0xNN:B or packet:K, got %1")
                                    .arg(quoted(value)));
            }
        } else if (name == QLatin1String("--replug-delay")) {
            if (!number(-1, MaxDelayMs, &n))
                return false;
            o.replugDelayMs = int(n);
        } else if (name == QLatin1String("--fault")) {
            if (!takeValue())
                return false;
            int at = value.indexOf(QLatin1Char('@'));
            const QString mode = value.left(at);
            SimFault fault = SimFault::NoReply;
            if (mode == QLatin1String("no-reply"))
                fault = SimFault::NoReply;
            else if (mode == QLatin1String("wrong-ack"))
                fault = SimFault::WrongAck;
            else if (mode == QLatin1String("bad-escape"))
                fault = SimFault::BadEscape;
            else if (mode == QLatin1String("double-ack"))
                fault = SimFault::DoubleAck;
            else if (mode == QLatin1String("ack-then-empty"))
                fault = SimFault::AckThenEmpty;
            else
                at = -1;
            if (at < 0 || !parseInteger(value.mid(at + 1), 0, 1000000000, &n))
                return fail(QStringLiteral("expected MODE@K with MODE no-reply, wrong-ack, bad-escape, double-ack or "
                                           "ack-then-empty, got %1")
                                    .arg(quoted(value)));
            if (o.faults.contains(int(n)))
                return fail(QStringLiteral("packet %1 already has a fault").arg(n));
            o.faults.insert(int(n), fault);
        } else if (name == QLatin1String("--dfu-timeout")) {
            if (!number(1, MaxDelayMs, &n))
                return false;
            o.dfuTimeoutMs = int(n);
        } else if (name == QLatin1String("--reenumerate-delay")) {
            if (!number(0, MaxDelayMs, &n))
                return false;
            o.reenumerateDelayMs = int(n);
        } else if (name == QLatin1String("--stray-byte")) {
            if (!flag())
                return false;
            o.strayByte = true;
        } else if (name == QLatin1String("--echo")) {
            if (!flag())
                return false;
            o.echo = true;
        } else if (name == QLatin1String("--stay-in-bootloader")) {
            if (!flag())
                return false;
            o.stayInBootloader = true;
        } else if (name == QLatin1String("--exit-with-parent")) {
            if (!flag())
                return false;
            o.exitWithParent = true;
        } else if (name == QLatin1String("--baud")) {
            if (!number(50, 4000000, &n))
                return false;
            o.baud = int(n);
        } else if (name == QLatin1String("--in-bootloader")) {
            if (!flag())
                return false;
            o.inBootloader = true;
        } else {
            *error = QStringLiteral("unknown option %1").arg(quoted(name));
            return false;
        }
    }
    *options = o;
    return true;
}

QString simHelpText()
{
    return QStringLiteral("Usage: orvik-sim [options]\n"
                          "Simulates an Orvik device (application firmware and serial DFU bootloader) on a\n"
                          "pseudo-terminal. Prints the slave's path as its first line, and each new path after\n"
                          "a re-enumeration. SIGINT or SIGTERM ends it cleanly (summary written, link removed).\n"
                          "\n"
                          "Link and trace:\n"
                          "  --link PATH              keep a symlink PATH -> current pty slave (replaced when\n"
                          "                           re-plugged, removed while unplugged and at exit)\n"
                          "  --trace FILE             JSON Lines trace of every frame, packet, violation, plug\n"
                          "                           and install, with a summary at exit\n"
                          "  --baud N                 pace both directions to N baud, 10 bits a byte\n"
                          "                           (default: full pty speed)\n"
                          "\n"
                          "Application firmware:\n"
                          "  --name TEXT              device name/serial in reply 0x89 (default \"ORV-0001\")\n"
                          "  --position N             position byte 0..255 (default 1)\n"
                          "  --hw-rev TEXT            hardware revision (default \"%1\")\n"
                          "  --fw-rev TEXT            firmware revision (default \"%2\")\n"
                          "  --sw-rev TEXT            software revision (default \"%3\")\n"
                          "  --after-hw TEXT          hardware revision after a completed update (default: as\n"
                          "                           before)\n"
                          "  --after-fw TEXT          firmware revision after a completed update (default \"%2\")\n"
                          "  --after-sw TEXT          software revision after a completed update (default \"%3\")\n"
                          "                           Each --after-* option given again is for the next update;\n"
                          "                           the last one given stays for any later update\n"
                          "  --after-name TEXT        name after a completed update: another device answers on\n"
                          "                           the port after the restart (default: as before)\n"
                          "  --battery N              battery percent byte 0..255 (default 87)\n"
                          "  --radio ADDR,COD,NAME    radio found by a scan; repeatable, replaces the defaults.\n"
                          "                           ADDR 12 hex digits and COD 6 hex digits in wire order,\n"
                          "                           NAME the rest (may be empty or contain commas). Defaults:\n"
                          "                           A0A1A2A3A4A5,040262,Orvik Radio 1\n"
                          "                           B0B1B2B3B4B5,200404,Headset\n"
                          "                           C0C1C2C3C4C5,040262,Orvik Radio 2\n"
                          "  --no-radios              a scan finds nothing\n"
                          "  --passkey N              pairing asks for a pass-key comparison (0x84) with key N\n"
                          "                           (default 123456); a No answer makes the pairing fail\n"
                          "  --no-passkey             pairing answers 0x83 directly\n"
                          "  --log TEXT               log entry; repeatable, replaces the defaults \"boot ok\\n\"\n"
                          "                           and \"battery 87%\\n\". \\n in TEXT stands for a newline\n"
                          "  --no-logs                the log is empty\n"
                          "  --status CODE=VALUE      status byte of the reply to request CODE (0x01 scan,\n"
                          "                           0x02 pairing, 0x04 upgrade mode, 0x05/0x06 inputs,\n"
                          "                           0x07 reset); repeatable. Non-zero means failure\n"
                          "  --after-status CODE=VALUE\n"
                          "                           as --status, once an update has been installed\n"
                          "  --silent CODE            never answer request CODE (0x01..0x0D); repeatable\n"
                          "\n"
                          "Plugging:\n"
                          "  --unplug-after EVENT     close the pty (USB unplug) once, at EVENT: ms:N (N ms after\n"
                          "                           start), request:0xNN[:N] (instead of answering that\n"
                          "                           request, or the Nth of them counted over every plug),\n"
                          "                           reply:0xNN:B (after only the first B bytes of the answer\n"
                          "                           to that request), packet:K (instead of acknowledging DFU\n"
                          "                           packet K, 0-based over the whole run)\n"
                          "  --replug-delay MS        plug back in (new pty behind the same link, application\n"
                          "                           mode, same revisions) MS after an unplug (default 500;\n"
                          "                           -1 = never)\n"
                          "  --reenumerate-delay MS   delay between a reset (0x88 sent) or an installed update\n"
                          "                           and re-enumeration on a new pty (default 300)\n"
                          "\n"
                          "Bootloader (entered by request 0x04 with status 0): checks every frame strictly and\n"
                          "reports each violation in the trace. After the last stop packet (an application's,\n"
                          "or any other followed by 1.5 s of silence) it installs the update if the run was\n"
                          "clean, else restarts the old firmware; either way it re-enumerates.\n"
                          "  --fault MODE@K           at DFU packet K (0-based over the run): no-reply,\n"
                          "                           wrong-ack, bad-escape, double-ack (the acknowledgement\n"
                          "                           twice in one write) or ack-then-empty (the\n"
                          "                           acknowledgement and an empty frame C0 C0 in one write);\n"
                          "                           repeatable\n"
                          "  --dfu-timeout MS         an unfinished transfer that hears nothing for MS restarts\n"
                          "                           into the old firmware (re-enumerates; default 3000)\n"
                          "  --in-bootloader          the device waits in its bootloader, as after a cut\n"
                          "                           transfer, and comes back there after every restart until\n"
                          "                           an update installs. Whole application requests before the\n"
                          "                           first DFU frame are dropped (traced as \"ignored\"); any\n"
                          "                           other byte there is a violation\n"
                          "\n"
                          "Line and device faults:\n"
                          "  --stray-byte             each plug-in puts one 0xFF byte on the line ahead of\n"
                          "                           everything else (noise at power-up)\n"
                          "  --echo                   a loop-back line: every byte the tool sends comes straight\n"
                          "                           back, and no device answers\n"
                          "  --stay-in-bootloader     an unfinished transfer that hears nothing for the DFU\n"
                          "                           timeout leaves the bootloader waiting for a new one\n"
                          "                           instead of restarting the old firmware\n"
                          "\n"
                          "  --exit-with-parent       end (as on SIGTERM) when the starting process ends\n"
                          "  -h, --help               show this help\n")
            .arg(QLatin1String(RequiredHwRev), QLatin1String(RequiredFwRev), QLatin1String(RequiredSwRev));
}
