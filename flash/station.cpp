#include "station.h"

#include "printable.h"
#include "revisions.h"
#include "version.h"

#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QSaveFile>
#include <QTimer>
#include <QUuid>

#include <cerrno>
#include <cstring>
#include <sys/ioctl.h>
#include <unistd.h>

namespace {

constexpr int RedrawMs = 250;

QString timeText(const QDateTime &time)
{
    return time.toString(Qt::ISODateWithMs);
}

QJsonValue timeJson(const QDateTime &time)
{
    return time.isValid() ? QJsonValue(timeText(time)) : QJsonValue();
}

QJsonObject packageJson(const PackageInfo &info)
{
    return QJsonObject{ { QStringLiteral("name"), info.name },
                        { QStringLiteral("type"),
                          info.type == Dfu::SoftDeviceBootloader ? QStringLiteral("softdevice_bootloader")
                                                                 : QStringLiteral("application") },
                        { QStringLiteral("path"), info.path },
                        { QStringLiteral("sha256"), info.sha256 },
                        { QStringLiteral("bytes"), info.fileBytes },
                        { QStringLiteral("imageBytes"), info.imageBytes },
                        { QStringLiteral("crc16"), QString::number(info.crc16, 16).rightJustified(4, '0') } };
}

bool writeStdout(const QByteArray &text, QString *error)
{
    std::fflush(stdout);
    for (qint64 done = 0; done < text.size();) {
        const ssize_t written = ::write(STDOUT_FILENO, text.constData() + done, size_t(text.size() - done));
        if (written < 0 && errno == EINTR)
            continue;
        if (written <= 0) {
            *error = QStringLiteral("--json: cannot write the report to stdout: %1")
                             .arg(QString::fromLocal8Bit(std::strerror(errno)));
            return false;
        }
        done += written;
    }
    return true;
}

QJsonValue orNull(const QString &text, bool known)
{
    return known ? QJsonValue(text) : QJsonValue();
}

QJsonValue revisionsJson(const Revisions &revisions)
{
    if (!revisions.known)
        return QJsonValue();
    return QJsonObject{ { QStringLiteral("hw"), revisions.hw },
                        { QStringLiteral("fw"), orNull(revisions.fw, !revisions.fw.isNull()) },
                        { QStringLiteral("sw"), orNull(revisions.sw, !revisions.sw.isNull()) } };
}

QString records(int count)
{
    return count == 1 ? QStringLiteral("1 record") : QStringLiteral("%1 records").arg(count);
}

QString sizeText(qint64 bytes)
{
    return bytes < 10 * 1024 ? QStringLiteral("%1 B").arg(bytes)
                             : QStringLiteral("%1 KiB").arg(double(bytes) / 1024.0, 0, 'f', 1);
}

} // namespace

Station::Station(const StationOptions &options, const PackageSet &packages, std::FILE *progressOut, QObject *parent)
    : QObject(parent),
      options(options),
      run{ options.station, options.operatorName, options.job, packages.packages(), {}, {} },
      out(progressOut),
      redrawTimer(new QTimer(this))
{
    JobSettings settings = options.job;
    settings.bootloaderPackage = packages.bootloaderPath();
    settings.applicationPackage = packages.applicationPath();
    for (const QString &port : options.ports) {
        auto *job = new StationJob(port, settings, this);
        jobs.append(job);
        connect(job, &StationJob::phaseChanged, this, [this, job] { onPhaseChanged(job); });
        connect(job, &StationJob::finished, this, &Station::onJobFinished);
        connect(job, &StationJob::frameSent, this,
                [this, job](const QByteArray &frame, bool dfu) { trace(job, "tx", frame, dfu); });
        connect(job, &StationJob::frameReceived, this,
                [this, job](const QByteArray &frame, bool dfu) { trace(job, "rx", frame, dfu); });
    }
    terminal = out && ::isatty(::fileno(out)) && !options.quiet;
    redrawTimer->setInterval(RedrawMs);
    connect(redrawTimer, &QTimer::timeout, this, &Station::redraw);
}

bool Station::start(QString *error)
{
    if (!options.trace.isEmpty()) {
        traceFile.setFileName(options.trace);
        if (!traceFile.open(QIODevice::WriteOnly | QIODevice::Truncate)) {
            *error = QStringLiteral("--trace: cannot write %1: %2").arg(options.trace, traceFile.errorString());
            return false;
        }
    }
    if (options.history) {
        history = std::make_unique<HistoryRecorder>();
        if (!history->open(options.historyDb, error))
            return false;
        runId = QUuid::createUuid().toString(QUuid::WithoutBraces);
    }
    run.started = QDateTime::currentDateTimeUtc();
    clock.start();
    // Before any port opens: an old report must not pass for this run's, and
    // a report that cannot be written is found now, not after the tray.
    if (!options.report.isEmpty() && options.report != QLatin1String("-") && !writeReport(error))
        return false;
    if (history)
        history->beginRun(report(), runId);
    if (terminal && !jobs.isEmpty())
        redrawTimer->start();
    // From the event loop, so that a run that ends at once still ends there.
    QTimer::singleShot(0, this, [this] {
        for (StationJob *job : qAsConst(jobs))
            job->start();
        onJobFinished();
    });
    return true;
}

void Station::interrupt()
{
    if (interrupted)
        return;
    interrupted = true;
    for (StationJob *job : qAsConst(jobs))
        job->interrupt();
}

int Station::exitStatus() const
{
    if (interrupted)
        return ExitInterrupted;
    bool allVerified = true;
    bool noneOpened = true;
    for (const StationJob *job : jobs) {
        const StationJob::Record &record = job->record();
        allVerified = allVerified
                && (record.result == StationJob::Result::Updated || record.result == StationJob::Result::UpToDate);
        noneOpened = noneOpened && record.result == StationJob::Result::Failed
                && record.failedIn == StationJob::Phase::Attach;
    }
    if (jobs.isEmpty() || noneOpened)
        return ExitNoDevice;
    return allVerified ? ExitVerified : ExitFailed;
}

void Station::onPhaseChanged(StationJob *job)
{
    if (terminal || options.quiet || !out)
        return;
    // Not a terminal: one plain line per phase change, for logs.
    const StationJob::Record &record = job->record();
    QString line =
            QStringLiteral("%1 %2 %3")
                    .arg(timeText(QDateTime::currentDateTimeUtc()), record.port, StationJob::phaseName(job->phase()));
    if (job->isFinished())
        line += QLatin1Char(' ') + StationJob::resultName(record.result);
    if (!record.name.isEmpty())
        line += QStringLiteral(" (%1)").arg(record.name);
    if (job->isFinished() && !record.reason.isEmpty())
        line += QStringLiteral(" in %1: %2").arg(StationJob::phaseName(record.failedIn), record.reason);
    std::fprintf(out, "%s\n", qPrintable(printable(line)));
    std::fflush(out);
}

void Station::onJobFinished()
{
    // Jobs stopped before the start finish with the run.
    if (!run.started.isValid() || run.ended.isValid())
        return;
    recordHistory();
    for (const StationJob *job : qAsConst(jobs)) {
        if (!job->isFinished()) {
            // The final report is the caller's; errors here show there too.
            QString ignored;
            if (!options.report.isEmpty() && options.report != QLatin1String("-"))
                writeReport(&ignored);
            return;
        }
    }
    run.ended = QDateTime::currentDateTimeUtc();
    if (terminal) {
        redrawTimer->stop();
        redraw();
    }
    if (history) {
        // Waits for the records still on their way; the final report then says where they went.
        tally = history->endRun(report());
        tallied = true;
        if (history->replayed() > 0)
            std::fprintf(stderr, "history: %s of earlier runs written from the spool to %s\n",
                         qPrintable(records(history->replayed())), qPrintable(history->name()));
        if (tally.spooled > 0)
            std::fprintf(stderr, "history: %s kept in %s, written at the next run that reaches %s\n",
                         qPrintable(records(tally.spooled)), qPrintable(History::spoolPath()),
                         qPrintable(history->name()));
        if (tally.lost > 0)
            std::fprintf(stderr, "history: %s lost: neither %s nor the spool %s took them\n",
                         qPrintable(records(tally.lost)), qPrintable(history->name()),
                         qPrintable(History::spoolPath()));
    }
    emit done(exitStatus());
}

// Each device once, as it finishes: the very object the report holds for it.
void Station::recordHistory()
{
    if (!history)
        return;
    for (const StationJob *job : qAsConst(jobs)) {
        if (job->isFinished() && !recorded.contains(job)) {
            recorded.insert(job);
            history->recordDevice(recordJson(job));
        }
    }
}

QJsonValue Station::historyJson() const
{
    if (!history)
        return QJsonValue();
    const auto count = [this](int n) { return tallied ? QJsonValue(n) : QJsonValue(); };
    return QJsonObject{
        { QStringLiteral("database"), history->name() },     { QStringLiteral("run"), runId },
        { QStringLiteral("written"), count(tally.written) }, { QStringLiteral("spooled"), count(tally.spooled) },
        { QStringLiteral("lost"), count(tally.lost) },       { QStringLiteral("replayed"), history->replayed() }
    };
}

// The simulator's trace shape, with the port added.
void Station::trace(const StationJob *job, const char *direction, const QByteArray &frame, bool dfu)
{
    if (!traceFile.isOpen())
        return;
    const QJsonObject line{ { QStringLiteral("t"), double(clock.nsecsElapsed()) / 1e9 },
                            { QStringLiteral("event"), QLatin1String(direction) },
                            { QStringLiteral("port"), job->record().port },
                            { QStringLiteral("mode"), dfu ? QStringLiteral("dfu") : QStringLiteral("app") },
                            { QStringLiteral("hex"), QString::fromLatin1(frame.toHex()) } };
    traceFile.write(QJsonDocument(line).toJson(QJsonDocument::Compact) + '\n');
    traceFile.flush();
}

QString Station::progressLine(const StationJob *job) const
{
    const StationJob::Record &record = job->record();
    QString line =
            QStringLiteral("%1  %2  ").arg(record.port, record.name.isEmpty() ? QStringLiteral("-") : record.name);
    if (job->isFinished()) {
        line += StationJob::resultName(record.result);
        if (!record.reason.isEmpty())
            line += QStringLiteral(" in %1: %2").arg(StationJob::phaseName(record.failedIn), record.reason);
        return line;
    }
    line += StationJob::phaseName(job->phase());
    if (record.packetsTotal > 0) {
        const qint64 elapsedMs = qMax<qint64>(1, job->transferElapsedMs());
        const int done = qMax(0, record.packetReached);
        const qint64 etaS = done > 0 ? (record.packetsTotal - done) * elapsedMs / done / 1000 : -1;
        line += QStringLiteral("  %1/%2  %3  %4/s  ETA %5")
                        .arg(done)
                        .arg(record.packetsTotal)
                        .arg(sizeText(record.bytesSent), sizeText(record.bytesSent * 1000 / elapsedMs),
                             etaS < 0 ? QStringLiteral("-")
                                      : QStringLiteral("%1:%2").arg(etaS / 60).arg(etaS % 60, 2, 10, QLatin1Char('0')));
    }
    return line;
}

// Redrawn in place: back up over the lines drawn last, then one line per port,
// each cut to the terminal's width so that none wraps and spoils the count.
void Station::redraw()
{
    winsize size = {};
    const int columns = ::ioctl(::fileno(out), TIOCGWINSZ, &size) == 0 && size.ws_col > 1 ? size.ws_col - 1 : 79;
    QByteArray text;
    if (linesDrawn > 0)
        text += "\033[" + QByteArray::number(linesDrawn) + "A";
    for (const StationJob *job : qAsConst(jobs))
        text += "\r\033[2K" + printable(progressLine(job)).left(columns).toUtf8() + '\n';
    linesDrawn = jobs.size();
    std::fputs(text.constData(), out);
    std::fflush(out);
}

QJsonObject Station::recordJson(const StationJob *job) const
{
    const StationJob::Record &r = job->record();
    const bool ok = r.result == StationJob::Result::Updated || r.result == StationJob::Result::UpToDate;
    const bool pending = r.result == StationJob::Result::Pending;
    QJsonArray used;
    if (r.transferStarted) {
        for (const PackageInfo &package : run.packages)
            used.append(packageJson(package));
    }
    QJsonValue packets;
    if (r.transferStarted)
        packets = QJsonObject{ { QStringLiteral("reached"), r.packetReached },
                               { QStringLiteral("total"), r.packetsTotal },
                               { QStringLiteral("bytesSent"), r.bytesSent },
                               { QStringLiteral("ms"), r.transferMs } };
    return QJsonObject{
        { QStringLiteral("port"), r.port },
        { QStringLiteral("usbSerial"), orNull(r.usbSerial, !r.usbSerial.isEmpty()) },
        { QStringLiteral("name"), orNull(r.name, r.identified) },
        { QStringLiteral("position"), r.identified ? QJsonValue(r.position) : QJsonValue() },
        { QStringLiteral("before"), revisionsJson(r.before) },
        { QStringLiteral("after"), revisionsJson(r.after) },
        { QStringLiteral("battery"), r.battery >= 0 ? QJsonValue(r.battery) : QJsonValue() },
        { QStringLiteral("recovered"), r.recovered },
        { QStringLiteral("packages"), used },
        { QStringLiteral("transfer"), packets },
        { QStringLiteral("result"), StationJob::resultName(r.result) },
        { QStringLiteral("reason"), orNull(r.reason, !r.reason.isEmpty()) },
        // Where a device that is not done stands, or where it stopped.
        { QStringLiteral("phase"),
          ok ? QJsonValue() : QJsonValue(StationJob::phaseName(pending ? job->phase() : r.failedIn)) },
        { QStringLiteral("started"), timeJson(r.started) },
        { QStringLiteral("ended"), timeJson(r.ended) },
        { QStringLiteral("durationMs"), r.started.isValid() && r.ended.isValid() ? r.started.msecsTo(r.ended) : 0 },
    };
}

QJsonObject Station::report() const
{
    QJsonArray devices;
    for (const StationJob *job : jobs)
        devices.append(recordJson(job));
    QJsonArray packages;
    for (const PackageInfo &package : run.packages)
        packages.append(packageJson(package));
    const JobSettings &s = run.settings;
    const bool finished = run.ended.isValid();
    return QJsonObject{
        { QStringLiteral("tool"), QStringLiteral("orvik-flash") },
        { QStringLiteral("version"), QLatin1String(OrvikConfigVersion) },
        { QStringLiteral("station"), run.station },
        { QStringLiteral("operator"), orNull(run.operatorName, !run.operatorName.isEmpty()) },
        { QStringLiteral("expected"),
          QJsonObject{ { QStringLiteral("hw"), QLatin1String(RequiredHwRev) },
                       { QStringLiteral("fw"), QLatin1String(RequiredFwRev) },
                       { QStringLiteral("sw"), QLatin1String(RequiredSwRev) } } },
        { QStringLiteral("settings"),
          QJsonObject{ { QStringLiteral("replyTimeoutMs"), s.replyTimeoutMs },
                       { QStringLiteral("ackTimeoutMs"), s.timing.responseTimeoutMs },
                       { QStringLiteral("startPauseMs"), s.timing.startPauseMs },
                       { QStringLiteral("initPauseMs"), s.timing.initPauseMs },
                       { QStringLiteral("stopPauseMs"), s.timing.stopPauseMs },
                       { QStringLiteral("restartTimeoutMs"), s.restartTimeoutMs },
                       { QStringLiteral("force"), s.force },
                       { QStringLiteral("recover"), s.recover } } },
        { QStringLiteral("packages"), packages },
        { QStringLiteral("state"), finished ? QStringLiteral("finished") : QStringLiteral("running") },
        { QStringLiteral("started"), timeJson(run.started) },
        { QStringLiteral("ended"), timeJson(run.ended) },
        { QStringLiteral("exitStatus"), finished ? QJsonValue(exitStatus()) : QJsonValue() },
        { QStringLiteral("history"), historyJson() },
        { QStringLiteral("devices"), devices },
    };
}

bool Station::writeReport(QString *error)
{
    const QByteArray text = QJsonDocument(report()).toJson(QJsonDocument::Indented);
    if (options.report == QLatin1String("-"))
        return writeStdout(text, error);
    // A save file would put a regular file in the place of a device or a FIFO.
    const QFileInfo target(options.report);
    if (target.exists() && !target.isFile()) {
        *error = QStringLiteral("--json: %1 is not a regular file").arg(options.report);
        return false;
    }
    QSaveFile file(options.report);
    if (!file.open(QIODevice::WriteOnly) || file.write(text) != text.size() || !file.commit()) {
        *error = QStringLiteral("--json: cannot write %1: %2").arg(options.report, file.errorString());
        return false;
    }
    return true;
}
