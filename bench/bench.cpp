// Transfer and reply-reader benchmark. Each row runs in a child process of its
// own, so that its CPU time and peak RSS are the row's alone; the parent prints
// the table.
//
//   orvik-bench [--rows pty,9600,peer,reader,station,station-history,history] [--repeat N] [--frames N]
//               [--records N] [--station-baud N]
//
// pty:    the built-in transfer (both packages) from Dfu through a pty to
//         orvik-sim at full pty speed.
// 9600:   the same with orvik-sim pacing both directions to 9600 baud, 8N1.
// peer:   the pty row against the simulator's bootloader engine in a
//         process of its own (this program with --peer): the tool's share of
//         the overhead without the simulator program's pacing and trace.
// reader: OrvikDevice's reply reader on a long random stream of valid frames,
//         written into a pty by this process.
// station: orvik-flash updating 1, 4 and 8 simulators at once at 9600 baud,
//         from start to exit (identify, transfer, restart, verify, reset);
//         its CPU time and peak RSS as the kernel counted them for it. Its
//         history is on, as shipped, in the row's own folder.
// station-history: the 8-device station row with --no-history and with the
//         history, alternately (--repeat pairs); --station-baud 0 runs the
//         station rows at pty speed.
// history: --records device records (trays of 8) written to the station's
//         history, one transaction each, then queried by name, USB serial and
//         result; on an SQLite file and on a PostgreSQL server started as
//         the tests start theirs (with fsync on, as in production).
#include "bootloaderpeer.h"
#include "dfu.h"
#include "history.h"
#include "orvikdevice.h"
#include "pgserver.h"
#include "ptypair.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QSerialPort>
#include <QSocketNotifier>
#include <QTemporaryDir>
#include <QTimer>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <numeric>
#include <memory>
#include <random>
#include <spawn.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

constexpr int LineBaud = 9600;
constexpr int BitsPerByte = 10; // 8N1: start, 8 data, stop
constexpr double PausesS = 5.0; // after both start, both init and the first stop packet
constexpr double LineTargetRatio = 1.01;
constexpr double OverheadTargetUs = 200.0;
constexpr double CpuTargetShare = 0.02;
constexpr double StationWallTarget = 1.02; // many devices against one
constexpr double StationCpuTarget = 0.05; // of one core, all devices together
constexpr double StationHistoryTarget = 1.01; // wall with the history against without
const int StationDevices[] = { 1, 4, 8 };
const char *const HistoryBackends[] = { "sqlite", "postgresql" };
constexpr double HistoryQueryTargetMs = 50.0; // by name or serial
constexpr int HistoryQueries = 50;
// A gap between a reply and the next frame longer than this is a pause.
constexpr qint64 PauseThresholdNs = 500 * 1000 * 1000;
// The device reports this firmware once the sim has installed what it got.
const QByteArray FirmwareBefore = "10.9.9";
const QByteArray FirmwareAfter = RequiredFwRev;

double cpuSeconds()
{
    rusage usage;
    getrusage(RUSAGE_SELF, &usage);
    return double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec)
            + double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

double peakRssMiB()
{
    rusage usage;
    getrusage(RUSAGE_SELF, &usage);
    return double(usage.ru_maxrss) / 1024.0;
}

// The simulator of the running row, so that a failing row does not leave it behind.
QProcess *runningPeer = nullptr;

[[noreturn]] void fail(const QString &why)
{
    std::fprintf(stderr, "orvik-bench: %s\n", qPrintable(why));
    if (runningPeer)
        runningPeer->kill();
    std::exit(1);
}

// Reads bytes until at least count have come or timeoutMs passed.
QByteArray readAtLeast(QSerialPort &port, int count, int timeoutMs)
{
    QElapsedTimer clock;
    clock.start();
    QByteArray bytes = port.readAll();
    while (bytes.size() < count && clock.elapsed() < timeoutMs) {
        if (port.waitForReadyRead(int(qMax<qint64>(1, timeoutMs - clock.elapsed()))))
            bytes += port.readAll();
    }
    return bytes;
}

// The port with a count of every byte handed to it for writing.
class CountingPort : public QSerialPort
{
public:
    using QSerialPort::QSerialPort;
    qint64 handed = 0;

protected:
    qint64 writeData(const char *data, qint64 size) override
    {
        const qint64 taken = QSerialPort::writeData(data, size);
        handed += qMax<qint64>(0, taken);
        return taken;
    }
};

double sumMs(const QVector<qint64> &ns)
{
    return double(std::accumulate(ns.begin(), ns.end(), qint64(0))) / 1e6;
}

double medianUs(QVector<qint64> ns)
{
    if (ns.isEmpty())
        return 0;
    std::sort(ns.begin(), ns.end());
    return double(ns.at(ns.size() / 2)) / 1000.0;
}

// The simulator as a child; its stdout lists one slave path per plug.
class Sim
{
public:
    Sim(const QString &program, const QStringList &args)
    {
        process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        process.start(program, args);
        if (!process.waitForStarted(10000))
            fail(QStringLiteral("cannot start %1").arg(program));
        runningPeer = &process;
    }
    ~Sim()
    {
        runningPeer = nullptr;
        process.terminate();
        if (!process.waitForFinished(10000))
            process.kill();
        process.waitForFinished(5000);
    }
    QString nextPath(int timeoutMs)
    {
        QElapsedTimer clock;
        clock.start();
        while (!process.canReadLine() && clock.elapsed() < timeoutMs)
            process.waitForReadyRead(100);
        if (!process.canReadLine())
            fail(QStringLiteral("the simulator printed no pty path"));
        return QString::fromLocal8Bit(process.readLine()).trimmed();
    }

private:
    QProcess process;
};

// The simulator's bootloader engine in this program's own event loop, on a
// pty of its own: the checks without the simulator program's pacing and trace.
int runPeer()
{
    BootloaderPeer peer;
    std::printf("%s\n", qPrintable(peer.slavePath()));
    std::fflush(stdout);
    return QCoreApplication::exec();
}

QJsonObject runTransfer(const QString &program, QStringList args, int baud, bool checkInstalled,
                        bool inBootloader = false)
{
    if (checkInstalled)
        args << QStringLiteral("--fw-rev") << QString::fromLatin1(FirmwareBefore) << QStringLiteral("--after-fw")
             << QString::fromLatin1(FirmwareAfter);
    if (baud > 0)
        args << QStringLiteral("--baud") << QString::number(baud);
    Sim sim(program, args);

    CountingPort port(sim.nextPath(10000));
    if (!port.open(QIODevice::ReadWrite))
        fail(QStringLiteral("cannot open %1: %2").arg(port.portName(), port.errorString()));
    // Into the bootloader the way the device link does it: request 0x04, answer 85 00.
    if (!inBootloader) {
        port.write(QByteArray::fromHex("0204"));
        const QByteArray ready = readAtLeast(port, 3, 5000);
        if (ready != QByteArray::fromHex("038500"))
            fail(QStringLiteral("enter-upgrade-mode answered %1").arg(QString::fromLatin1(ready.toHex(' '))));
    }

    // Counted at the port: every frame byte handed to it, every reply byte
    // before the updater takes it (this receiver is connected first).
    port.handed = 0;
    qint64 ackBytes = 0;
    QElapsedTimer clock;
    // Where the time goes, per packet: from handing the frame to the port to
    // the last reply bytes before the next frame (round trip), and from those
    // to handing over the next frame (the tool's turnaround, or a pause).
    qint64 handedNs = -1;
    qint64 replyNs = -1;
    QVector<qint64> roundTrips;
    QVector<qint64> turnarounds;
    QVector<qint64> pauses;
    const auto settle = [&](qint64 nowNs) {
        if (handedNs < 0 || replyNs < handedNs)
            return;
        roundTrips.append(replyNs - handedNs);
        (nowNs - replyNs < PauseThresholdNs ? turnarounds : pauses).append(nowNs - replyNs);
    };
    QObject::connect(&port, &QIODevice::readyRead, [&]() {
        ackBytes += port.bytesAvailable();
        replyNs = clock.nsecsElapsed();
    });

    Dfu dfu(&port);
    QEventLoop loop;
    qint64 startedNs = 0;
    qint64 finishedNs = 0;
    int packets = 0;
    Dfu::ErrorType result = Dfu::NoResponseError;
    const auto handedOver = [&]() {
        const qint64 now = clock.nsecsElapsed();
        settle(now);
        handedNs = now;
    };
    QObject::connect(&dfu, &Dfu::updateStarted, [&](int total) {
        startedNs = clock.nsecsElapsed();
        packets = total;
        handedOver();
    });
    QObject::connect(&dfu, &Dfu::updateProgress, handedOver);
    QObject::connect(&dfu, &Dfu::updateFinished, [&](Dfu::ErrorType error) {
        finishedNs = clock.nsecsElapsed();
        settle(finishedNs);
        result = error;
        loop.quit();
    });
    QTimer::singleShot(15 * 60 * 1000, &loop, [&]() { fail(QStringLiteral("transfer still running after 15 min")); });

    const double cpuBefore = cpuSeconds();
    clock.start();
    dfu.upgrade();
    if (finishedNs == 0)
        loop.exec();
    const double cpu = cpuSeconds() - cpuBefore;
    if (result != Dfu::Success)
        fail(QStringLiteral("transfer ended with result %1").arg(int(result)));
    port.close();
    QJsonObject measured{ { QStringLiteral("packets"), packets },
                          { QStringLiteral("frameBytes"), port.handed },
                          { QStringLiteral("roundTrip"), medianUs(roundTrips) },
                          { QStringLiteral("turnaround"), medianUs(turnarounds) },
                          { QStringLiteral("roundTripsMs"), sumMs(roundTrips) },
                          { QStringLiteral("turnaroundsMs"), sumMs(turnarounds) },
                          { QStringLiteral("pausesMs"), sumMs(pauses) },
                          { QStringLiteral("pauseCount"), pauses.size() },
                          { QStringLiteral("ackBytes"), ackBytes },
                          { QStringLiteral("wall"), double(finishedNs) / 1e9 },
                          { QStringLiteral("load"), double(startedNs) / 1e9 },
                          { QStringLiteral("cpu"), cpu },
                          { QStringLiteral("rss"), peakRssMiB() } };
    if (!checkInstalled)
        return measured;

    // The simulator re-enumerates after the run; the new firmware revision
    // shows that it installed what it received (CRC, sizes and pauses checked).
    QSerialPort after(sim.nextPath(10000));
    if (!after.open(QIODevice::ReadWrite))
        fail(QStringLiteral("cannot reopen the device after the transfer"));
    after.write(QByteArray::fromHex("020A"));
    const QByteArray expected = char(2 + FirmwareAfter.size()) + QByteArray("\x8B") + FirmwareAfter;
    const QByteArray answer = readAtLeast(after, expected.size(), 5000);
    if (answer != expected)
        fail(QStringLiteral("the simulator did not install the firmware (answer %1)")
                     .arg(QString::fromLatin1(answer.toHex(' '))));

    return measured;
}

// Random frames of every reply code with valid lengths. Returns the stream and
// the number of signals it must produce (a log entry asks for the next one
// instead of emitting).
QByteArray randomReplies(int frames, int *signalCount)
{
    static const quint8 statusCodes[] = { 0x81, 0x83, 0x85, 0x86, 0x87, 0x88, 0x8F };
    std::mt19937 random(7315);
    const auto below = [&random](int n) { return int(random() % unsigned(n)); };
    const auto bytes = [&](int n) {
        QByteArray data(n, '\0');
        for (char &c : data)
            c = char(below(256));
        return data;
    };
    const auto text = [&](int n) {
        QByteArray data(n, '\0');
        for (char &c : data)
            c = char(0x20 + below(0x5F));
        return data;
    };
    QByteArray stream;
    *signalCount = 0;
    for (int i = 0; i < frames; ++i) {
        quint8 code = quint8(0x81 + below(15));
        QByteArray payload;
        bool emits = true;
        switch (code) {
        case 0x82:
            payload = bytes(9) + text(below(30));
            break;
        case 0x84:
            payload = bytes(10);
            break;
        case 0x89:
            payload = bytes(1) + text(below(16));
            break;
        case 0x8A:
        case 0x8B:
        case 0x8C:
            payload = text(below(12));
            break;
        case 0x8D:
            payload = bytes(1);
            break;
        case 0x8E:
            payload = text(below(40));
            emits = payload.isEmpty();
            break;
        default:
            code = statusCodes[below(7)];
            payload = bytes(1);
            break;
        }
        stream.append(char(2 + payload.size())).append(char(code)).append(payload);
        *signalCount += emits ? 1 : 0;
    }
    return stream;
}

QJsonObject runReader(int frames)
{
    int expected = 0;
    const QByteArray stream = randomReplies(frames, &expected);

    PtyPair pty;
    const QString path = pty.slavePath();
    const int master = pty.masterDescriptor();
    if (path.isEmpty())
        fail(QStringLiteral("cannot create a pty"));

    OrvikDevice device;
    if (!device.attach(path))
        fail(QStringLiteral("cannot open the pty: %1").arg(device.errorString()));
    int received = 0;
    QEventLoop loop;
    const auto count = [&]() {
        if (++received == expected)
            loop.quit();
    };
    for (auto signal : { &OrvikDevice::scanComplete, &OrvikDevice::pairComplete, &OrvikDevice::upgradeReady,
                         &OrvikDevice::upperGpioComplete, &OrvikDevice::lowerGpioComplete, &OrvikDevice::resetComplete,
                         &OrvikDevice::setSerialComplete })
        QObject::connect(&device, signal, count);
    QObject::connect(&device, &OrvikDevice::radioFound, count);
    QObject::connect(&device, &OrvikDevice::verifyPassKey, count);
    QObject::connect(&device, &OrvikDevice::getInfoComplete, count);
    QObject::connect(&device, &OrvikDevice::getHwRevComplete, count);
    QObject::connect(&device, &OrvikDevice::getFwRevComplete, count);
    QObject::connect(&device, &OrvikDevice::getSwRevComplete, count);
    QObject::connect(&device, &OrvikDevice::getBattComplete, count);
    QObject::connect(&device, &OrvikDevice::getLogsComplete, count);

    // The device side: stream out as fast as the pty takes it, and drain the
    // next-log requests that log entries make the reader send.
    int written = 0;
    QSocketNotifier writable(master, QSocketNotifier::Write);
    QSocketNotifier readable(master, QSocketNotifier::Read);
    QObject::connect(&writable, &QSocketNotifier::activated, [&]() {
        const ssize_t n = ::write(master, stream.constData() + written, size_t(stream.size() - written));
        if (n > 0)
            written += int(n);
        if (written == stream.size())
            writable.setEnabled(false);
    });
    QObject::connect(&readable, &QSocketNotifier::activated, [&]() {
        char sink[4096];
        while (::read(master, sink, sizeof sink) > 0) { }
    });
    QTimer::singleShot(10 * 60 * 1000, &loop, [&]() { fail(QStringLiteral("reader still running after 10 min")); });

    QElapsedTimer clock;
    const double cpuBefore = cpuSeconds();
    clock.start();
    loop.exec();
    const double wall = double(clock.nsecsElapsed()) / 1e9;
    const double cpu = cpuSeconds() - cpuBefore;
    device.close();
    return QJsonObject{ { QStringLiteral("frames"), frames },    { QStringLiteral("bytes"), stream.size() },
                        { QStringLiteral("signals"), received }, { QStringLiteral("wall"), wall },
                        { QStringLiteral("cpu"), cpu },          { QStringLiteral("rss"), peakRssMiB() } };
}

// N simulators with old software at 9600 baud, and the station updating them
// all in one run; wall time from spawning it to its exit.
QJsonObject runStation(const QString &simPath, const QString &flashPath, int devices, bool history, int baud)
{
    QTemporaryDir dir;
    // The default history file, in the row's folder rather than the user's.
    qputenv("XDG_DATA_HOME", QFile::encodeName(dir.path()));
    std::vector<std::unique_ptr<Sim>> sims;
    QStringList args{ QStringLiteral("--quiet"), QStringLiteral("--json"),
                      dir.filePath(QStringLiteral("report.json")) };
    if (!history)
        args << QStringLiteral("--no-history");
    for (int i = 0; i < devices; ++i) {
        const QString link = dir.filePath(QStringLiteral("orvik%1").arg(i));
        QStringList simArgs{ QStringLiteral("--exit-with-parent"), QStringLiteral("--link"), link,
                             QStringLiteral("--sw-rev"), QStringLiteral("1.4.0") };
        if (baud > 0)
            simArgs << QStringLiteral("--baud") << QString::number(baud);
        sims.push_back(std::make_unique<Sim>(simPath, simArgs));
        sims.back()->nextPath(10000);
        args << link;
    }
    QList<QByteArray> argv8{ QFile::encodeName(flashPath) };
    for (const QString &arg : qAsConst(args))
        argv8 << arg.toLocal8Bit();
    std::vector<char *> argv;
    for (QByteArray &arg : argv8)
        argv.push_back(arg.data());
    argv.push_back(nullptr);

    QElapsedTimer clock;
    clock.start();
    pid_t pid = 0;
    if (posix_spawn(&pid, argv.front(), nullptr, nullptr, argv.data(), environ) != 0)
        fail(QStringLiteral("cannot start %1").arg(flashPath));
    int status = 0;
    rusage usage = {};
    while (wait4(pid, &status, 0, &usage) < 0 && errno == EINTR) { }
    const double wall = double(clock.nsecsElapsed()) / 1e9;
    QFile file(dir.filePath(QStringLiteral("report.json")));
    file.open(QIODevice::ReadOnly);
    const QJsonDocument report = QJsonDocument::fromJson(file.readAll());
    int updated = 0;
    for (const QJsonValue &device : report[QStringLiteral("devices")].toArray())
        updated += device[QStringLiteral("result")] == QLatin1String("updated");
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0 || updated != devices)
        fail(QStringLiteral("orvik-flash updated %1 of %2 devices").arg(updated).arg(devices));
    // Start, each device and end, all written.
    if (history && report[QStringLiteral("history")][QStringLiteral("written")].toInt() != devices + 2)
        fail(QStringLiteral("orvik-flash did not write its history"));
    return QJsonObject{ { QStringLiteral("devices"), devices },
                        { QStringLiteral("history"), history },
                        { QStringLiteral("baud"), baud },
                        { QStringLiteral("wall"), wall },
                        { QStringLiteral("cpu"),
                          double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec)
                                  + double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6 },
                        { QStringLiteral("rss"), double(usage.ru_maxrss) / 1024.0 } };
}

// Device records as the station reports them: 20,000 units, each flashed
// again every 20,000 records; one record in twenty failed.
QJsonObject historyDevice(int i, const QString &started)
{
    const int unit = i % 20000;
    const bool failed = i % 20 == 7;
    const QJsonObject before{ { "hw", "7315" }, { "fw", "10.0.0" }, { "sw", "1.4.0" } };
    const QJsonObject after{ { "hw", "7315" }, { "fw", "11.0.0" }, { "sw", "1.5.3" } };
    return QJsonObject{
        { "port", QStringLiteral("/dev/ttyUSB%1").arg(i % 8) },
        { "usbSerial", QStringLiteral("FT%1").arg(unit, 6, 10, QLatin1Char('0')) },
        { "name", QStringLiteral("ORV-%1").arg(unit, 5, 10, QLatin1Char('0')) },
        { "position", i % 8 },
        { "before", before },
        { "after", failed ? QJsonValue() : after },
        { "battery", 80 },
        { "recovered", false },
        { "packages",
          QJsonArray{ QJsonObject{ { "name", "orvik_sdbl.zip" }, { "bytes", 125484 }, { "crc16", "37db" } },
                      QJsonObject{ { "name", "orvik_app.zip" }, { "bytes", 60080 }, { "crc16", "0551" } } } },
        { "transfer",
          QJsonObject{
                  { "reached", failed ? 150 : 365 }, { "total", 366 }, { "bytesSent", 186000 }, { "ms", 190000 } } },
        { "result", failed ? "failed" : "updated" },
        { "reason", failed ? QJsonValue("no acknowledgement within 1000 ms of packet 150 of 366") : QJsonValue() },
        { "phase", failed ? QJsonValue("transfer") : QJsonValue() },
        { "started", started },
        { "ended", started },
        { "durationMs", 240000 },
    };
}

QJsonObject runHistory(const QString &backend, int records)
{
    QTemporaryDir dir;
    PgServer server(true);
    QString target = dir.filePath(QStringLiteral("history.sqlite"));
    QString error;
    if (backend == QLatin1String("postgresql")
        && (!server.start(&error) || (target = server.createDatabase(&error)).isEmpty()))
        fail(error);
    qputenv("XDG_DATA_HOME", QFile::encodeName(dir.path()));
    qputenv("PGPASSWORD", PgServer::Password);
    History history;
    if (!history.open(target, &error))
        fail(error);

    QVector<qint64> writes;
    QElapsedTimer clock;
    clock.start();
    const QDateTime epoch(QDate(2024, 1, 1), QTime(0, 0), Qt::UTC);
    for (int i = 0; i < records; i += 8) {
        const QString started = epoch.addSecs(i * 30).toString(Qt::ISODateWithMs);
        const QJsonObject report{ { "station", "bench" },
                                  { "version", "bench" },
                                  { "started", started },
                                  { "ended", started },
                                  { "exitStatus", 1 } };
        history.beginRun(report);
        for (int j = i; j < qMin(records, i + 8); ++j) {
            const qint64 before = clock.nsecsElapsed();
            history.recordDevice(historyDevice(j, epoch.addSecs(j * 30).toString(Qt::ISODateWithMs)));
            writes.append(clock.nsecsElapsed() - before);
        }
        history.endRun(report);
        if (history.tally().written != qMin(records, i + 8) - i + 2)
            fail(QStringLiteral("a history write failed at record %1").arg(i));
    }
    const double writeS = double(clock.nsecsElapsed()) / 1e9;

    // Median and slowest of the queries, and the rows the last one found.
    std::mt19937 random(7315);
    const auto timed = [&](const std::function<HistoryFilter()> &filter, int count) {
        QVector<qint64> times;
        int rows = 0;
        for (int n = 0; n < count; ++n) {
            const HistoryFilter f = filter();
            const qint64 before = clock.nsecsElapsed();
            rows = history.devices(f, &error).size();
            times.append(clock.nsecsElapsed() - before);
            if (!error.isEmpty())
                fail(error);
        }
        return QJsonObject{ { "medianMs", medianUs(times) / 1000.0 },
                            { "maxMs", double(*std::max_element(times.begin(), times.end())) / 1e6 },
                            { "rows", rows } };
    };
    const int units = qMin(records, 20000);
    const auto unit = [&] { return int(random() % unsigned(units)); };
    return QJsonObject{
        { "backend", backend },
        { "records", records },
        { "writeS", writeS },
        { "recordMeanMs", sumMs(writes) / qMax(1, writes.size()) },
        { "recordMedianMs", medianUs(writes) / 1000.0 },
        { "byName",
          timed(
                  [&] {
                      return HistoryFilter{ QStringLiteral("ORV-%1").arg(unit(), 5, 10, QLatin1Char('0')), {}, {}, {} };
                  },
                  HistoryQueries) },
        { "bySerial",
          timed(
                  [&] {
                      return HistoryFilter{ {}, QStringLiteral("FT%1").arg(unit(), 6, 10, QLatin1Char('0')), {}, {} };
                  },
                  HistoryQueries) },
        { "byResult",
          timed(
                  [] {
                      return HistoryFilter{ {}, {}, QStringLiteral("failed"), {} };
                  },
                  5) },
        { "rss", peakRssMiB() },
    };
}

QJsonObject runChild(const QString &program, const QStringList &args)
{
    QProcess child;
    child.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    child.start(program, args);
    if (!child.waitForStarted(10000) || !child.waitForFinished(-1) || child.exitCode() != 0)
        return QJsonObject();
    return QJsonDocument::fromJson(child.readAllStandardOutput()).object();
}

QString verdict(bool met)
{
    return met ? QStringLiteral("met") : QStringLiteral("MISSED");
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral("Transfer and reply-reader benchmark of Orvik Config."));
    parser.addHelpOption();
    const QCommandLineOption rowsOption(QStringLiteral("rows"),
                                        QStringLiteral("Rows to run: pty, 9600, peer, reader, station, "
                                                       "station-history, history."),
                                        QStringLiteral("list"), QStringLiteral("pty,9600,peer,reader,station,history"));
    const QCommandLineOption recordsOption(QStringLiteral("records"),
                                           QStringLiteral("Device records for the history row."), QStringLiteral("n"),
                                           QStringLiteral("100000"));
    const QCommandLineOption framesOption(QStringLiteral("frames"), QStringLiteral("Frames for the reader row."),
                                          QStringLiteral("n"), QStringLiteral("500000"));
    const QCommandLineOption simOption(QStringLiteral("sim"), QStringLiteral("The simulator to talk to."),
                                       QStringLiteral("path"), QStringLiteral(ORVIK_SIM_PATH));
    const QCommandLineOption repeatOption(QStringLiteral("repeat"), QStringLiteral("Run each row n times."),
                                          QStringLiteral("n"), QStringLiteral("1"));
    QCommandLineOption rowOption(QStringLiteral("row"), QStringLiteral("Run one row in this process."),
                                 QStringLiteral("name"));
    rowOption.setFlags(QCommandLineOption::HiddenFromHelp);
    QCommandLineOption peerOption(QStringLiteral("peer"), QStringLiteral("Be the bootloader peer."));
    peerOption.setFlags(QCommandLineOption::HiddenFromHelp);
    const QCommandLineOption flashOption(QStringLiteral("flash"), QStringLiteral("The station program."),
                                         QStringLiteral("path"), QStringLiteral(ORVIK_FLASH_PATH));
    const QCommandLineOption stationBaudOption(QStringLiteral("station-baud"),
                                               QStringLiteral("Line speed of the station rows (0: pty speed)."),
                                               QStringLiteral("n"), QString::number(LineBaud));
    parser.addOptions({ rowsOption, framesOption, recordsOption, simOption, flashOption, stationBaudOption,
                        repeatOption, rowOption, peerOption });
    parser.process(app);
    const QString simPath = parser.value(simOption);
    const int frames = parser.value(framesOption).toInt();

    if (parser.isSet(peerOption))
        return runPeer();
    if (parser.isSet(rowOption)) {
        const QString row = parser.value(rowOption);
        QJsonObject result;
        if (row == QLatin1String("pty"))
            result = runTransfer(simPath, {}, 0, true);
        else if (row == QLatin1String("9600"))
            result = runTransfer(simPath, {}, LineBaud, true);
        else if (row == QLatin1String("peer"))
            result = runTransfer(app.applicationFilePath(), { QStringLiteral("--peer") }, 0, false, true);
        else if (row == QLatin1String("reader"))
            result = runReader(frames > 0 ? frames : 500000);
        else if (row.startsWith(QLatin1String("station-")))
            result = runStation(simPath, parser.value(flashOption), row.section(QLatin1Char('-'), 1, 1).toInt(),
                                !row.endsWith(QLatin1String("-off")), parser.value(stationBaudOption).toInt());
        else if (row.startsWith(QLatin1String("history-")))
            result = runHistory(row.mid(8), qMax(1, parser.value(recordsOption).toInt()));
        else
            fail(QStringLiteral("unknown row %1").arg(row));
        std::fputs(QJsonDocument(result).toJson(QJsonDocument::Compact).constData(), stdout);
        return 0;
    }

    // Each row --repeat times; the history comparison alternates off and on.
    const int repeat = qMax(1, parser.value(repeatOption).toInt());
    QStringList rows;
    for (const QString &group : parser.value(rowsOption).split(QLatin1Char(','), Qt::SkipEmptyParts)) {
        QStringList expanded{ group };
        if (group == QLatin1String("station")) {
            expanded.clear();
            for (int devices : StationDevices)
                expanded << QStringLiteral("station-%1").arg(devices);
        } else if (group == QLatin1String("station-history")) {
            for (int run = 0; run < repeat; ++run)
                rows << QStringLiteral("station-8-off") << QStringLiteral("station-8");
            continue;
        } else if (group == QLatin1String("history")) {
            expanded.clear();
            for (const char *backend : HistoryBackends)
                expanded << QStringLiteral("history-%1").arg(QLatin1String(backend));
        }
        for (const QString &row : qAsConst(expanded)) {
            for (int run = 0; run < repeat; ++run)
                rows << row;
        }
    }
    QList<QJsonObject> stations;
    QList<QPair<QString, QJsonObject>> transfers;
    QList<QJsonObject> readers;
    QList<QJsonObject> histories;
    bool failed = false;
    for (const QString &row : rows) {
        const bool slow = row == QLatin1String("9600")
                || (row.startsWith(QLatin1String("station-")) && parser.value(stationBaudOption) != QLatin1String("0"));
        const bool history = row.startsWith(QLatin1String("history-"));
        std::fprintf(stderr, "running row %s%s...\n", qPrintable(row),
                     slow              ? " (about 3.5 minutes)"
                             : history ? " (1 to 3 minutes per 100,000 records)"
                                       : "");
        const QJsonObject result =
                runChild(app.applicationFilePath(),
                         { QStringLiteral("--row"), row, QStringLiteral("--sim"), simPath, QStringLiteral("--flash"),
                           parser.value(flashOption), QStringLiteral("--frames"), QString::number(frames),
                           QStringLiteral("--records"), parser.value(recordsOption), QStringLiteral("--station-baud"),
                           parser.value(stationBaudOption) });
        if (result.isEmpty()) {
            std::fprintf(stderr, "row %s failed\n", qPrintable(row));
            failed = true;
        } else if (row == QLatin1String("reader")) {
            readers.append(result);
        } else if (row.startsWith(QLatin1String("station-"))) {
            stations.append(result);
        } else if (row.startsWith(QLatin1String("history-"))) {
            histories.append(result);
        } else {
            transfers.append({ row, result });
        }
    }

    QStringList notes;
    if (!transfers.isEmpty()) {
        std::printf(
                "Built-in transfer, Dfu -> pty -> orvik-sim (peer: bootloader engine in-process); wall from upgrade() "
                "to updateFinished\n");
        std::printf("%-9s %7s %8s %6s %9s %9s %10s %10s %7s %6s %9s\n", "row", "packets", "frame B", "ack B", "wall s",
                    "limit s", "wall/limit", "us/packet", "CPU s", "CPU %", "peak RSS");
        for (const auto &entry : transfers) {
            const QJsonObject &r = entry.second;
            const int packets = r.value(QStringLiteral("packets")).toInt();
            const double bytes =
                    r.value(QStringLiteral("frameBytes")).toDouble() + r.value(QStringLiteral("ackBytes")).toDouble();
            const double wall = r.value(QStringLiteral("wall")).toDouble();
            const double cpu = r.value(QStringLiteral("cpu")).toDouble();
            const double limit = bytes * BitsPerByte / LineBaud + PausesS;
            const bool paced = entry.first == QLatin1String("9600");
            const QString label = paced                    ? QStringLiteral("9600 baud")
                    : entry.first == QLatin1String("peer") ? QStringLiteral("pty/peer")
                                                           : QStringLiteral("pty");
            // At pty speed the overhead is what is left after the pauses; on
            // the line it is what is left after the line itself.
            const double overheadUs = ((paced ? wall - limit : wall - PausesS) / qMax(1, packets)) * 1e6;
            std::printf("%-9s %7d %8lld %6lld %9.3f %9s %10s %10.0f %7.3f %5.2f%% %5.1f MiB\n", qPrintable(label),
                        packets, qint64(r.value(QStringLiteral("frameBytes")).toDouble()),
                        qint64(r.value(QStringLiteral("ackBytes")).toDouble()), wall,
                        qPrintable(paced ? QString::number(limit, 'f', 3) : QStringLiteral("-")),
                        qPrintable(paced ? QString::number(wall / limit, 'f', 4) : QStringLiteral("-")), overheadUs,
                        cpu, 100.0 * cpu / wall, r.value(QStringLiteral("rss")).toDouble());
            if (paced) {
                notes << QStringLiteral("line rate: wall/limit %1, target <= %2: %3")
                                 .arg(wall / limit, 0, 'f', 4)
                                 .arg(LineTargetRatio)
                                 .arg(verdict(wall <= limit * LineTargetRatio));
                notes << QStringLiteral("CPU at 9600 baud: %1% of wall, target < %2%: %3")
                                 .arg(100.0 * cpu / wall, 0, 'f', 2)
                                 .arg(100.0 * CpuTargetShare)
                                 .arg(verdict(cpu < CpuTargetShare * wall));
            } else {
                notes << QStringLiteral("%1: per-packet overhead at pty speed %2 us, target < %3 us: %4")
                                 .arg(label)
                                 .arg(overheadUs, 0, 'f', 0)
                                 .arg(OverheadTargetUs)
                                 .arg(verdict(overheadUs < OverheadTargetUs));
            }
            // Wall = loading + round trips + turnarounds + pauses + the rest.
            const double loadMs = r.value(QStringLiteral("load")).toDouble() * 1000;
            const double tripsMs = r.value(QStringLiteral("roundTripsMs")).toDouble();
            const double turnsMs = r.value(QStringLiteral("turnaroundsMs")).toDouble();
            const double pausesMs = r.value(QStringLiteral("pausesMs")).toDouble();
            notes << QStringLiteral("%1 breakdown: loading %2 ms + round trips %3 ms (median %4 us) + turnarounds "
                                    "%5 ms (median %6 us) + %7 pauses %8 ms + rest %9 ms")
                             .arg(label)
                             .arg(loadMs, 0, 'f', 1)
                             .arg(tripsMs, 0, 'f', 1)
                             .arg(r.value(QStringLiteral("roundTrip")).toDouble(), 0, 'f', 0)
                             .arg(turnsMs, 0, 'f', 1)
                             .arg(r.value(QStringLiteral("turnaround")).toDouble(), 0, 'f', 0)
                             .arg(r.value(QStringLiteral("pauseCount")).toInt())
                             .arg(pausesMs, 0, 'f', 1)
                             .arg(wall * 1000 - loadMs - tripsMs - turnsMs - pausesMs, 0, 'f', 1);
        }
        std::printf("us/packet: pty rows (wall - 5 s pauses) / packets; 9600 baud (wall - limit) / packets\n");
        std::printf("limit: (frame + ack bytes) x 10 bits / 9600 baud + 5 s of pauses\n\n");
    }
    if (!readers.isEmpty()) {
        std::printf("Reply reader, OrvikDevice fed random valid frames through a pty\n");
        std::printf("%9s %10s %8s %10s %8s %7s %9s\n", "frames", "bytes", "wall s", "frames/s", "MB/s", "CPU s",
                    "peak RSS");
    }
    for (const QJsonObject &reader : readers) {
        const double wall = reader.value(QStringLiteral("wall")).toDouble();
        const double framesDone = reader.value(QStringLiteral("frames")).toDouble();
        const double bytes = reader.value(QStringLiteral("bytes")).toDouble();
        std::printf("%9.0f %10.0f %8.3f %10.0f %8.2f %7.3f %5.1f MiB\n", framesDone, bytes, wall, framesDone / wall,
                    bytes / wall / 1e6, reader.value(QStringLiteral("cpu")).toDouble(),
                    reader.value(QStringLiteral("rss")).toDouble());
    }
    if (!readers.isEmpty())
        std::printf("\n");
    if (!stations.isEmpty()) {
        const int baud = stations.first().value(QStringLiteral("baud")).toInt();
        std::printf("Station, orvik-flash updating N simulators at once at %s; wall from start to exit\n",
                    qPrintable(baud > 0 ? QStringLiteral("%1 baud").arg(baud) : QStringLiteral("pty speed")));
        std::printf("%7s %7s %8s %8s %7s %11s %9s\n", "devices", "history", "wall s", "x one", "CPU s", "CPU % core",
                    "peak RSS");
    }
    double oneWall = 0;
    QVector<qint64> historyWalls[2]; // ns, 8 devices, without and with the history
    for (const QJsonObject &station : qAsConst(stations)) {
        const int devices = station.value(QStringLiteral("devices")).toInt();
        const bool history = station.value(QStringLiteral("history")).toBool();
        const double wall = station.value(QStringLiteral("wall")).toDouble();
        const double cpu = station.value(QStringLiteral("cpu")).toDouble();
        if (devices == 1 && history)
            oneWall = wall;
        if (devices == 8)
            historyWalls[history].append(qint64(wall * 1e9));
        const double ratio = oneWall > 0 ? wall / oneWall : 0;
        std::printf("%7d %7s %8.3f %8s %7.3f %10.2f%% %5.1f MiB\n", devices, history ? "on" : "off", wall,
                    qPrintable(oneWall > 0 ? QString::number(ratio, 'f', 4) : QStringLiteral("-")), cpu,
                    100.0 * cpu / wall, station.value(QStringLiteral("rss")).toDouble());
        if (devices > 1 && oneWall > 0 && history)
            notes << QStringLiteral("station, %1 devices: wall %2 x one device, target <= %3: %4")
                             .arg(devices)
                             .arg(ratio, 0, 'f', 4)
                             .arg(StationWallTarget)
                             .arg(verdict(ratio <= StationWallTarget));
        notes << QStringLiteral("station, %1 devices, history %2: CPU %3% of one core, target < %4%: %5")
                         .arg(devices)
                         .arg(history ? QStringLiteral("on") : QStringLiteral("off"))
                         .arg(100.0 * cpu / wall, 0, 'f', 2)
                         .arg(100.0 * StationCpuTarget)
                         .arg(verdict(cpu < StationCpuTarget * wall));
    }
    if (!historyWalls[0].isEmpty() && !historyWalls[1].isEmpty()) {
        const double ratio = medianUs(historyWalls[1]) / medianUs(historyWalls[0]);
        notes << QStringLiteral("station, 8 devices: wall with the history %1 x without (medians of %2 and %3 runs), "
                                "target <= %4: %5")
                         .arg(ratio, 0, 'f', 4)
                         .arg(historyWalls[1].size())
                         .arg(historyWalls[0].size())
                         .arg(StationHistoryTarget)
                         .arg(verdict(ratio <= StationHistoryTarget));
    }
    if (!stations.isEmpty())
        std::printf("\n");
    if (!histories.isEmpty()) {
        std::printf("History, device records written one transaction each (trays of 8), then queried; query times "
                    "are the median (max) of %d queries, by result of 5\n",
                    HistoryQueries);
        std::printf("%-10s %8s %8s %10s %10s %16s %16s %20s %9s\n", "backend", "records", "write s", "ms/record",
                    "median ms", "by name ms", "by serial ms", "by result ms (rows)", "peak RSS");
    }
    for (const QJsonObject &history : qAsConst(histories)) {
        const auto query = [&](const char *key) {
            const QJsonObject q = history.value(QLatin1String(key)).toObject();
            return QStringLiteral("%1 (%2)")
                    .arg(q.value(QStringLiteral("medianMs")).toDouble(), 0, 'f', 2)
                    .arg(q.value(QStringLiteral("maxMs")).toDouble(), 0, 'f', 2);
        };
        const QJsonObject byResult = history.value(QStringLiteral("byResult")).toObject();
        std::printf("%-10s %8d %8.1f %10.3f %10.3f %16s %16s %20s %5.1f MiB\n",
                    qPrintable(history.value(QStringLiteral("backend")).toString()),
                    history.value(QStringLiteral("records")).toInt(),
                    history.value(QStringLiteral("writeS")).toDouble(),
                    history.value(QStringLiteral("recordMeanMs")).toDouble(),
                    history.value(QStringLiteral("recordMedianMs")).toDouble(), qPrintable(query("byName")),
                    qPrintable(query("bySerial")),
                    qPrintable(QStringLiteral("%1 (%2)")
                                       .arg(byResult.value(QStringLiteral("medianMs")).toDouble(), 0, 'f', 1)
                                       .arg(byResult.value(QStringLiteral("rows")).toInt())),
                    history.value(QStringLiteral("rss")).toDouble());
        for (const char *key : { "byName", "bySerial" }) {
            const double ms = history.value(QLatin1String(key))[QStringLiteral("medianMs")].toDouble();
            notes << QStringLiteral("history, %1, %2 at %3 records: %4 ms, target < %5 ms: %6")
                             .arg(history.value(QStringLiteral("backend")).toString(),
                                  QLatin1String(key) == QLatin1String("byName") ? QStringLiteral("query by name")
                                                                                : QStringLiteral("query by serial"))
                             .arg(history.value(QStringLiteral("records")).toInt())
                             .arg(ms, 0, 'f', 2)
                             .arg(HistoryQueryTargetMs)
                             .arg(verdict(ms < HistoryQueryTargetMs));
        }
    }
    if (!histories.isEmpty())
        std::printf("\n");
    for (const QString &note : notes)
        std::printf("%s\n", qPrintable(note));
    return failed ? 1 : 0;
}
