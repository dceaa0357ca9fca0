#include "simulator.h"

#include "appdevice.h"
#include "bootloader.h"
#include "ptyport.h"
#include "wire.h"

#include <QFile>
#include <QJsonObject>
#include <QTimer>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// After the stop packet of a SoftDevice/bootloader image the tool pauses 1 s
// before an application package; silence beyond this ends the run.
constexpr int FollowWindowMs = 1500;
// A cut answer's bytes must reach the tool before the unplug discards them.
constexpr int CutReplyUnplugMs = 100;
const char StrayByte = char(0xFF);

template<typename T>
void retire(QObject *owner, T *&object)
{
    // Engines and ports often end inside their own signal; delete them later.
    if (!object)
        return;
    QObject::disconnect(object, nullptr, owner, nullptr);
    object->deleteLater();
    object = nullptr;
}

QTimer *singleShotTimer(QObject *parent, Qt::TimerType type = Qt::PreciseTimer)
{
    auto *timer = new QTimer(parent);
    timer->setSingleShot(true);
    timer->setTimerType(type);
    return timer;
}

QString hexText(const QByteArray &bytes)
{
    return QString::fromLatin1(SimWire::hex(bytes));
}

} // namespace

Simulator::Simulator(const SimOptions &options, QObject *parent)
    : QObject(parent),
      options(options),
      trace(clock),
      unplugTimer(singleShotTimer(this)),
      replugTimer(singleShotTimer(this)),
      reenumerateTimer(singleShotTimer(this)),
      dfuTimer(singleShotTimer(this)),
      followTimer(singleShotTimer(this))
{
    clock.start();
    connect(unplugTimer, &QTimer::timeout, this, [this]() {
        if (mode != Mode::Unplugged && !unplugDone)
            unplug();
    });
    connect(replugTimer, &QTimer::timeout, this, [this]() {
        QString error;
        if (!plug(&error))
            std::fprintf(stderr, "orvik-sim: replug failed: %s\n", qPrintable(error));
    });
    connect(reenumerateTimer, &QTimer::timeout, this, [this]() { reenumerate(reenumerateReason); });
    dfuTimer->setInterval(options.dfuTimeoutMs);
    connect(dfuTimer, &QTimer::timeout, this, &Simulator::onDfuSilence);
    followTimer->setInterval(FollowWindowMs);
    connect(followTimer, &QTimer::timeout, this,
            [this]() { finishRun(qMax(0, this->options.reenumerateDelayMs - FollowWindowMs)); });
}

Simulator::~Simulator()
{
    shutdown();
}

bool Simulator::start(QString *error)
{
    if (!options.trace.isEmpty() && !trace.open(options.trace, error))
        return false;
    if (!options.link.isEmpty()) {
        struct stat st;
        if (::lstat(QFile::encodeName(options.link).constData(), &st) == 0 && !S_ISLNK(st.st_mode)) {
            *error = QStringLiteral("--link: %1 exists and is not a symbolic link").arg(options.link);
            return false;
        }
    }
    if (!plug(error))
        return false;
    if (options.unplug.kind == SimUnplug::AfterMs)
        unplugTimer->start(options.unplug.value);
    return true;
}

void Simulator::shutdown()
{
    if (stopped)
        return;
    stopped = true;
    for (QTimer *timer : { unplugTimer, replugTimer, reenumerateTimer, dfuTimer, followTimer })
        timer->stop();
    endDfuSession();
    QJsonObject summary;
    summary.insert(QStringLiteral("packets"), packets);
    summary.insert(QStringLiteral("bytesIn"), bytesIn);
    summary.insert(QStringLiteral("bytesOut"), bytesOut);
    summary.insert(QStringLiteral("appRequests"), appRequests);
    summary.insert(QStringLiteral("images"), images);
    summary.insert(QStringLiteral("installed"), installed);
    summary.insert(QStringLiteral("violations"), QJsonArray::fromStringList(violations));
    summary.insert(QStringLiteral("fw"), QString::fromUtf8(installed ? options.afterFw : options.fwRev));
    summary.insert(QStringLiteral("sw"), QString::fromUtf8(installed ? options.afterSw : options.swRev));
    trace.write(QStringLiteral("summary"), summary);
    closePort();
    removeLink();
}

bool Simulator::plug(QString *error)
{
    auto *next = new PtyPort(options.baud, clock, this);
    if (!next->open(error) || (!options.link.isEmpty() && !setLink(next->slavePath(), error))) {
        delete next;
        return false;
    }
    // The old pty goes only now, so that the link never dangles on a re-enumeration.
    closePort();
    port = next;
    connect(port, &PtyPort::received, this, &Simulator::onReceived);
    connect(port, &PtyPort::drained, this, &Simulator::onDrained);
    connect(port, &PtyPort::peerChanged, this, [this](bool open) {
        trace.write(QStringLiteral("peer"), { { QStringLiteral("open"), open } });
    });

    std::printf("%s\n", qPrintable(port->slavePath()));
    std::fflush(stdout);
    trace.write(QStringLiteral("plug"), { { QStringLiteral("path"), port->slavePath() } });
    startApp();
    if (options.strayByte)
        send(QByteArray(1, StrayByte));
    if (options.inBootloader && !installed) {
        enterBootloader();
        // Nothing has started yet, so there is no transfer to give up on.
        dfuTimer->stop();
        probing = true;
        probeBuffer.clear();
    }
    return true;
}

void Simulator::closePort()
{
    retire(this, app);
    retire(this, boot);
    drainAction = nullptr;
    if (port)
        port->close();
    retire(this, port);
}

void Simulator::unplug()
{
    unplugDone = true;
    for (QTimer *timer : { unplugTimer, reenumerateTimer, dfuTimer, followTimer })
        timer->stop();
    trace.write(QStringLiteral("unplug"));
    endDfuSession();
    closePort();
    removeLink();
    mode = Mode::Unplugged;
    if (options.replugDelayMs >= 0)
        replugTimer->start(options.replugDelayMs);
}

void Simulator::reenumerate(const QString &reason)
{
    for (QTimer *timer : { reenumerateTimer, dfuTimer, followTimer })
        timer->stop();
    trace.write(QStringLiteral("reenumerate"), { { QStringLiteral("reason"), reason } });
    endDfuSession();
    QString error;
    if (!plug(&error)) {
        std::fprintf(stderr, "orvik-sim: re-enumeration failed: %s\n", qPrintable(error));
        closePort();
        removeLink();
        mode = Mode::Unplugged;
    }
}

void Simulator::startApp()
{
    retire(this, app);
    retire(this, boot);
    app = new AppDevice(options, installed, this);
    if (!unplugDone && options.unplug.kind == SimUnplug::AtRequest)
        app->setUnplugRequest(options.unplug.value);
    if (!unplugDone && options.unplug.kind == SimUnplug::InReply)
        app->setCutReply(options.unplug.value, options.unplug.replyBytes);
    connect(app, &AppDevice::requestReceived, this, [this](const QByteArray &frame) {
        ++appRequests;
        if (trace.isOpen())
            trace.write(
                    QStringLiteral("rx"),
                    { { QStringLiteral("mode"), QStringLiteral("app") }, { QStringLiteral("hex"), hexText(frame) } });
    });
    connect(app, &AppDevice::reply, this, &Simulator::send);
    connect(app, &AppDevice::violation, this, [this](const QString &reason) { addViolation("app", -1, reason); });
    connect(app, &AppDevice::enterBootloader, this, &Simulator::enterBootloader);
    connect(app, &AppDevice::resetRequested, this, [this]() {
        mode = Mode::Restarting;
        trace.write(QStringLiteral("reset"));
        reenumerateReason = QStringLiteral("reset");
        afterDrain([this]() { reenumerateTimer->start(options.reenumerateDelayMs); });
    });
    connect(app, &AppDevice::unplugRequested, this, &Simulator::unplug);
    connect(app, &AppDevice::replyCut, this,
            [this]() { afterDrain([this]() { unplugTimer->start(CutReplyUnplugMs); }); });
    mode = Mode::App;
}

void Simulator::enterBootloader()
{
    const QByteArray rest = app ? app->takeRemainder() : QByteArray();
    retire(this, app);
    startBootloader();
    boot->setFaults(options.faults);
    if (!unplugDone && options.unplug.kind == SimUnplug::AtPacket)
        boot->setUnplugAtPacket(options.unplug.value);
    trace.write(QStringLiteral("mode"), { { QStringLiteral("mode"), QStringLiteral("dfu") } });
    dfuTimer->start();
    if (!rest.isEmpty())
        boot->feed(rest, clock.nsecsElapsed() / 1000);
}

// A bootloader session: faults and unplugs are armed by the caller.
void Simulator::startBootloader()
{
    boot = new Bootloader(this);
    runEnded = false;
    connect(boot, &Bootloader::frameReceived, this, [this](int index, const QByteArray &escaped) {
        if (trace.isOpen())
            trace.write(QStringLiteral("rx"),
                        { { QStringLiteral("mode"), QStringLiteral("dfu") },
                          { QStringLiteral("index"), index },
                          { QStringLiteral("hex"), hexText(SimWire::Delimiter + escaped + SimWire::Delimiter) } });
    });
    connect(boot, &Bootloader::packetAccepted, this, [this](int index, int seq, qint64 code, int length) {
        if (trace.isOpen())
            trace.write(QStringLiteral("packet"),
                        { { QStringLiteral("index"), index },
                          { QStringLiteral("seq"), seq },
                          { QStringLiteral("code"), code },
                          { QStringLiteral("length"), length } });
    });
    connect(boot, &Bootloader::reply, this, &Simulator::send);
    connect(boot, &Bootloader::violation, this,
            [this](int index, const QString &reason) { addViolation("dfu", index, reason); });
    connect(boot, &Bootloader::faultInjected, this, [this](int index, const QString &fault) {
        trace.write(QStringLiteral("fault"), { { QStringLiteral("index"), index }, { QStringLiteral("mode"), fault } });
    });
    connect(boot, &Bootloader::unplugRequested, this, &Simulator::unplug);
    connect(boot, &Bootloader::runComplete, this, [this]() { finishRun(options.reenumerateDelayMs); });
    mode = Mode::Dfu;
}

void Simulator::onReceived(const QByteArray &bytes, qint64 atUs)
{
    bytesIn += bytes.size();
    if (options.echo) {
        send(bytes);
        return;
    }
    switch (mode) {
    case Mode::App:
        app->feed(bytes);
        break;
    case Mode::Dfu: {
        const QByteArray data = probing ? dropProbes(bytes) : bytes;
        if (data.isEmpty())
            break;
        if (!boot->finished())
            dfuTimer->start();
        boot->feed(data, atUs);
        if (mode == Mode::Dfu && boot) {
            if (!boot->awaitingFollowUp())
                followTimer->stop();
            else if (!followTimer->isActive())
                followTimer->start();
        }
        break;
    }
    case Mode::Restarting:
    case Mode::Unplugged:
        addViolation(modeName(), -1, QStringLiteral("%1 byte(s) received while the device restarts").arg(bytes.size()));
        break;
    }
}

void Simulator::onDrained(qint64 atUs)
{
    if (mode == Mode::Dfu && boot)
        boot->ackSent(atUs);
    if (drainAction) {
        const std::function<void()> action = drainAction;
        drainAction = nullptr;
        action();
    }
}

void Simulator::afterDrain(std::function<void()> action)
{
    if (!port || port->idle())
        action();
    else
        drainAction = std::move(action);
}

void Simulator::send(const QByteArray &frame)
{
    if (!port)
        return;
    bytesOut += frame.size();
    // Records are built only for a trace that is written: this runs for every acknowledgement.
    if (trace.isOpen())
        trace.write(
                QStringLiteral("tx"),
                { { QStringLiteral("mode"), QLatin1String(modeName()) }, { QStringLiteral("hex"), hexText(frame) } });
    port->write(frame);
}

void Simulator::finishRun(int extraDelayMs)
{
    followTimer->stop();
    dfuTimer->stop();
    if (!boot || runEnded)
        return;
    runEnded = true;
    boot->finish();
    QString reason;
    if (boot->installable(&reason)) {
        installed = true;
        trace.write(QStringLiteral("install"),
                    { { QStringLiteral("fw"), QString::fromUtf8(options.afterFw) },
                      { QStringLiteral("sw"), QString::fromUtf8(options.afterSw) } });
        reenumerateReason = QStringLiteral("install");
    } else {
        trace.write(QStringLiteral("restart"), { { QStringLiteral("reason"), reason } });
        reenumerateReason = QStringLiteral("restart");
    }
    afterDrain([this, extraDelayMs]() { reenumerateTimer->start(extraDelayMs); });
}

void Simulator::onDfuSilence()
{
    if (!boot || boot->finished() || followTimer->isActive())
        return;
    if (boot->partialFrameBytes() > 0)
        addViolation("dfu", -1,
                     QStringLiteral("unfinished frame of %1 byte(s) discarded").arg(boot->partialFrameBytes()));
    const QString reason = QStringLiteral("no data for %1 ms during an unfinished transfer").arg(options.dfuTimeoutMs);
    if (options.stayInBootloader) {
        // A new session, without the faults and unplugs of the failed one.
        trace.write(QStringLiteral("stay"), { { QStringLiteral("reason"), reason } });
        endDfuSession();
        startBootloader();
        return;
    }
    trace.write(QStringLiteral("restart"), { { QStringLiteral("reason"), reason } });
    reenumerate(QStringLiteral("restart"));
}

void Simulator::endDfuSession()
{
    if (!boot)
        return;
    for (const SimImage &image : boot->images()) {
        QJsonObject entry{ { QStringLiteral("type"), image.type },
                           { QStringLiteral("size"), image.received },
                           { QStringLiteral("sdSize"), qint64(image.sdSize) },
                           { QStringLiteral("blSize"), qint64(image.blSize) },
                           { QStringLiteral("appSize"), qint64(image.appSize) },
                           { QStringLiteral("crc"), SimWire::hex16(image.crc()) },
                           { QStringLiteral("crcOk"), image.crcOk() },
                           { QStringLiteral("complete"), image.complete() } };
        if (image.haveInit)
            entry.insert(QStringLiteral("initCrc"), SimWire::hex16(image.initCrc));
        images.append(entry);
    }
    packets += boot->packetCount();
    retire(this, boot);
}

void Simulator::addViolation(const char *mode, int index, const QString &reason)
{
    violations.append(reason);
    if (!trace.isOpen())
        return;
    QJsonObject fields{ { QStringLiteral("mode"), QLatin1String(mode) }, { QStringLiteral("reason"), reason } };
    if (index >= 0)
        fields.insert(QStringLiteral("index"), index);
    trace.write(QStringLiteral("violation"), fields);
}

bool Simulator::setLink(const QString &target, QString *error)
{
    // A temporary link renamed over the old one: the path never dangles.
    const QByteArray link = QFile::encodeName(options.link);
    const QByteArray temporary = link + ".tmp-" + QByteArray::number(qint64(::getpid()));
    ::unlink(temporary.constData());
    if (::symlink(QFile::encodeName(target).constData(), temporary.constData()) != 0
        || ::rename(temporary.constData(), link.constData()) != 0) {
        *error = QStringLiteral("--link: cannot link %1 to %2: %3")
                         .arg(options.link, target, QString::fromLocal8Bit(std::strerror(errno)));
        ::unlink(temporary.constData());
        return false;
    }
    return true;
}

void Simulator::removeLink()
{
    if (options.link.isEmpty())
        return;
    const QByteArray link = QFile::encodeName(options.link);
    struct stat st;
    if (::lstat(link.constData(), &st) == 0 && S_ISLNK(st.st_mode))
        ::unlink(link.constData());
}

// A bootloader drops what is not a frame. Whole application requests are what
// a tool probing for the device sends; anything else goes to the strict
// receiver, which counts it as noise.
QByteArray Simulator::dropProbes(const QByteArray &bytes)
{
    probeBuffer += bytes;
    while (!probeBuffer.isEmpty() && probeBuffer.at(0) != SimWire::Delimiter) {
        if (probeBuffer.size() < 2)
            return QByteArray();
        const int length = AppDevice::requestLength(quint8(probeBuffer.at(1)));
        if (length == 0 || quint8(probeBuffer.at(0)) != length)
            break;
        if (probeBuffer.size() < length)
            return QByteArray();
        trace.write(QStringLiteral("ignored"),
                    { { QStringLiteral("mode"), QStringLiteral("dfu") },
                      { QStringLiteral("hex"), hexText(probeBuffer.left(length)) } });
        probeBuffer.remove(0, length);
    }
    if (probeBuffer.isEmpty())
        return QByteArray();
    probing = false;
    QByteArray rest;
    rest.swap(probeBuffer);
    return rest;
}

const char *Simulator::modeName() const
{
    switch (mode) {
    case Mode::App:
        return "app";
    case Mode::Dfu:
        return "dfu";
    case Mode::Restarting:
        return "restarting";
    case Mode::Unplugged:
        return "unplugged";
    }
    return "";
}
