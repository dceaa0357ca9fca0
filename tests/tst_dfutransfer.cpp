// Whole transfers: the test plays a bootloader on the master side of a pty and
// acknowledges each frame as it arrives (or misbehaves on purpose).
#include "dfu.h"
#include "simprocess.h"

#include <QElapsedTimer>
#include <QJsonArray>
#include <QPointer>
#include <QSerialPort>
#include <QSocketNotifier>
#include <QTemporaryDir>
#include <QtEndian>
#include <QtTest>

#include <private/qzipwriter_p.h>

#include <fcntl.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

class BootloaderPeer : public QObject
{
public:
    enum Fault { None, Silent, WrongAck, Invalid, DoubleAck };

    BootloaderPeer()
    {
        master = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK);
        const char *name = (master >= 0 && grantpt(master) == 0 && unlockpt(master) == 0) ? ptsname(master) : nullptr;
        slave = name ? ::open(name, O_RDWR | O_NOCTTY | O_NONBLOCK) : -1;
        termios tio;
        if (slave >= 0 && tcgetattr(slave, &tio) == 0) {
            cfmakeraw(&tio);
            tcsetattr(slave, TCSANOW, &tio);
            slavePath = QString::fromLocal8Bit(name);
            auto *notifier = new QSocketNotifier(master, QSocketNotifier::Read, this);
            connect(notifier, &QSocketNotifier::activated, this, &BootloaderPeer::onReadable);
        }
        clock.start();
    }
    ~BootloaderPeer() override
    {
        for (int fd : {master, slave}) {
            if (fd >= 0)
                ::close(fd);
        }
    }

    QString slavePath;
    Fault fault = None;
    int faultAt = -1;
    QList<QByteArray> frames;
    QList<qint64> arrivedMs, ackedMs;
    QStringList problems;

private:
    void onReadable()
    {
        char chunk[4096];
        ssize_t n;
        while ((n = ::read(master, chunk, sizeof chunk)) > 0)
            pending.append(chunk, int(n));
        int end;
        while (pending.startsWith(char(0xC0)) && (end = pending.indexOf(char(0xC0), 1)) > 0) {
            const QByteArray frame = pending.left(end + 1);
            pending.remove(0, end + 1);
            handle(frame);
        }
    }

    // Acknowledges by the header's sequence number (header byte 0 is never escaped).
    void handle(const QByteArray &frame)
    {
        const int index = frames.size();
        frames.append(frame);
        arrivedMs.append(clock.elapsed());
        const quint8 ack = quint8((((quint8(frame.at(1)) & 7) + 1) % 8) << 3);
        QByteArray reply = QByteArray::fromHex("C0") + char(ack) + QByteArray::fromHex("0000") + char(-ack) + char(0xC0);
        if (index >= faultAt && fault == Silent)
            return;
        if (index == faultAt && fault == WrongAck)
            reply[1] = char(ack ^ 0x08);
        if (index == faultAt && fault == Invalid)
            reply = QByteArray::fromHex("C0C0");
        write(reply);
        ackedMs.append(clock.elapsed());
        // A stray second acknowledgement while the updater pauses.
        if (index == faultAt && fault == DoubleAck)
            QTimer::singleShot(100, this, [this, reply] { write(reply); });
    }

    void write(const QByteArray &data)
    {
        if (::write(master, data.constData(), size_t(data.size())) != data.size())
            problems << QStringLiteral("reply not written");
    }

    int master = -1;
    int slave = -1;
    QByteArray pending;
    QElapsedTimer clock;
};

// Everything one Dfu object reports, in order. Like the device link, it
// destroys the updater from inside its handler of the result.
class Recorder : public QObject
{
public:
    explicit Recorder(Dfu *updater) : dfu(updater)
    {
        connect(dfu, &Dfu::updateStarted, this, [this](int total) { events << QStringLiteral("started %1").arg(total); });
        connect(dfu, &Dfu::updateProgress, this, [this](int at) { events << QStringLiteral("progress %1").arg(at); });
        connect(dfu, &Dfu::updateFinished, this, [this](Dfu::ErrorType error) {
            events << QStringLiteral("finished %1").arg(int(error));
            delete dfu;
        });
    }
    ~Recorder() override { delete dfu; }
    bool finished() const { return !events.isEmpty() && events.last().startsWith(QLatin1String("finished")); }
    QStringList events;
    QPointer<Dfu> dfu;
};

static QStringList runEvents(int total, int progressUpTo, Dfu::ErrorType result)
{
    QStringList events{QStringLiteral("started %1").arg(total)};
    for (int i = 1; i <= progressUpTo; ++i)
        events << QStringLiteral("progress %1").arg(i);
    return events << QStringLiteral("finished %1").arg(int(result));
}

class DfuTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void builtInRunSucceeds();
    void queueFollowsPackages_data();
    void queueFollowsPackages();
    void failureEndsRunOnce_data();
    void failureEndsRunOnce();
    void strayReplyDuringPauseIsIgnored();
    void nothingToSendFailsOnce();
    void destructionMidRunLeavesNothingActing_data();
    void destructionMidRunLeavesNothingActing();
    void builtInRunSatisfiesSimulator();

private:
    QString writePackage(const QString &name, int imageSize);
    QTemporaryDir dir;
    QString small;
    QString empty;
    QString exact;
};

// An application package with a consistent init packet.
QString DfuTest::writePackage(const QString &name, int imageSize)
{
    QByteArray image;
    for (int i = 0; i < imageSize; ++i)
        image.append(char(i * 13));
    QByteArray init = QByteArray::fromHex("FFFFFFFFFFFFFFFF0100FEFF0000");
    qToLittleEndian(Dfu::crc16(image), init.data() + 12);
    const QString path = dir.filePath(name);
    QZipWriter writer(path);
    writer.addFile(QStringLiteral("manifest.json"),
                   R"({"manifest": {"application": {"bin_file": "a.bin", "dat_file": "a.dat"}}})");
    writer.addFile(QStringLiteral("a.bin"), image);
    writer.addFile(QStringLiteral("a.dat"), init);
    writer.close();
    return path;
}

void DfuTest::initTestCase()
{
    qRegisterMetaType<Dfu::ErrorType>();
    QVERIFY(dir.isValid());
    small = writePackage(QStringLiteral("small.zip"), 600); // start, init, 2 data, stop
    empty = writePackage(QStringLiteral("empty.zip"), 0);
    exact = writePackage(QStringLiteral("exact.zip"), 1024);
}

void DfuTest::builtInRunSucceeds()
{
    BootloaderPeer peer;
    QSerialPort port(peer.slavePath);
    QVERIFY(port.open(QIODevice::ReadWrite));
    auto *dfu = new Dfu(&port);
    Recorder recorder(dfu);
    QElapsedTimer wall;
    wall.start();
    dfu->upgrade();
    QTRY_VERIFY_WITH_TIMEOUT(recorder.finished(), 60000);
    qInfo("built-in run: %lld ms", wall.elapsed());
    QTest::qWait(1200); // nothing may follow the result
    QCOMPARE(recorder.events, runEvents(366, 365, Dfu::Success));

    QCOMPARE(peer.problems, QStringList());
    QCOMPARE(peer.frames.size(), 366);
    qint64 bytes = 0;
    for (const QByteArray &frame : peer.frames)
        bytes += frame.size();
    QCOMPARE(bytes, qint64(189220));
    QCOMPARE(peer.frames.at(0), QByteArray::fromHex("C0 D1 4E 01 E0 03 00 00 00 03 00 00 00 B4 A6 01 00 08 40 00 00 00 00 00 00 26 47 C0"));
    QCOMPARE(peer.frames.at(247), QByteArray::fromHex("C0 D1 4E 01 E0 03 00 00 00 04 00 00 00 00 00 00 00 00 00 00 00 4C E7 00 00 64 AB C0"));
    QCOMPARE(peer.frames.at(248), QByteArray::fromHex("C0 DA 4E 01 D7 01 00 00 00 FF FF FF FF FF FF FF FF 01 00 FE FF 05 51 00 00 6D 40 C0"));
    QCOMPARE(peer.frames.at(246), QByteArray::fromHex("C0 C7 4E 00 EB 05 00 00 00 A5 79 C0"));
    QCOMPARE(peer.frames.at(365), QByteArray::fromHex("C0 C7 4E 00 EB 05 00 00 00 A5 79 C0"));
    // The pauses follow both start and init packets and the first stop packet.
    for (int paused : {0, 1, 246, 247, 248})
        QVERIFY2(peer.arrivedMs.at(paused + 1) - peer.ackedMs.at(paused) >= 950, qPrintable(QString::number(paused)));
}

void DfuTest::queueFollowsPackages_data()
{
    QTest::addColumn<QString>("bootloader");
    QTest::addColumn<QString>("application");
    QTest::addColumn<QList<int>>("dataPackets"); // per package
    QTest::addColumn<QList<int>>("stopDelays");
    const QString bl = QStringLiteral(":/upgrade/ble_orvik_hx7315_bl_sd.zip");
    const QString app = QStringLiteral(":/upgrade/ble_orvik_hx7315_app.zip");
    QTest::addRow("built-in pair") << bl << app << QList<int>{244, 116} << QList<int>{1, 0};
    QTest::addRow("bootloader alone, no pause at its end") << bl << QString() << QList<int>{244} << QList<int>{0};
    QTest::addRow("application alone") << QString() << app << QList<int>{116} << QList<int>{0};
    QTest::addRow("empty image") << QString() << empty << QList<int>{0} << QList<int>{0};
    QTest::addRow("image of exactly two chunks") << QString() << exact << QList<int>{2} << QList<int>{0};
}

void DfuTest::queueFollowsPackages()
{
    QFETCH(QString, bootloader);
    QFETCH(QString, application);
    QFETCH(QList<int>, dataPackets);
    QFETCH(QList<int>, stopDelays);
    BootloaderPeer peer;
    peer.fault = BootloaderPeer::Silent;
    peer.faultAt = 0;
    QSerialPort port(peer.slavePath);
    QVERIFY(port.open(QIODevice::ReadWrite));
    Dfu dfu(&port);
    dfu.upgrade(bootloader, application);

    // Start and init pause, data packets do not, the stop packet as its package says.
    QList<int> delays;
    QList<int> firstBytes;
    for (int i = 0; i < dataPackets.size(); ++i) {
        firstBytes << 0xD1;
        delays << 1 << 1;
        for (int k = 0; k < dataPackets.at(i); ++k)
            delays << 0;
        delays << stopDelays.at(i);
    }
    QList<int> actualDelays;
    QList<int> actualFirstBytes;
    for (const DfuPacket &packet : qAsConst(dfu.packets)) {
        actualDelays << packet.delaySeconds;
        if (packet.frame.mid(5, 4) == QByteArray::fromHex("03000000"))
            actualFirstBytes << quint8(packet.frame.at(1));
    }
    QCOMPARE(actualDelays, delays);
    QCOMPARE(actualFirstBytes, firstBytes);
}

void DfuTest::failureEndsRunOnce_data()
{
    QTest::addColumn<int>("fault");
    QTest::addColumn<int>("at");
    QTest::addColumn<QStringList>("events");
    QTest::addRow("silent from the start") << int(BootloaderPeer::Silent) << 0
                                           << runEvents(5, 0, Dfu::NoResponseError);
    QTest::addRow("silent at the last data packet") << int(BootloaderPeer::Silent) << 3
                                                    << runEvents(5, 3, Dfu::NoResponseError);
    QTest::addRow("wrong acknowledge number") << int(BootloaderPeer::WrongAck) << 0
                                              << runEvents(5, 0, Dfu::IncorrectResponseError);
    QTest::addRow("invalid reply to a data packet") << int(BootloaderPeer::Invalid) << 2
                                                    << runEvents(5, 2, Dfu::InvalidResponseError);
    QTest::addRow("all acknowledged") << int(BootloaderPeer::None) << -1 << runEvents(5, 4, Dfu::Success);
}

void DfuTest::failureEndsRunOnce()
{
    QFETCH(int, fault);
    QFETCH(int, at);
    QFETCH(QStringList, events);
    BootloaderPeer peer;
    peer.fault = BootloaderPeer::Fault(fault);
    peer.faultAt = at;
    QSerialPort port(peer.slavePath);
    QVERIFY(port.open(QIODevice::ReadWrite));
    auto *dfu = new Dfu(&port);
    Recorder recorder(dfu);
    dfu->upgrade(QString(), small);
    dfu->upgrade(QString(), small); // a second start on the same object does nothing
    QTRY_VERIFY_WITH_TIMEOUT(recorder.finished(), 20000);
    QTest::qWait(1500); // longer than the response timer
    QCOMPARE(recorder.events, events);
    QCOMPARE(peer.frames.size(), fault == BootloaderPeer::None ? 5 : at + 1);
    QCOMPARE(peer.problems, QStringList());
}

void DfuTest::strayReplyDuringPauseIsIgnored()
{
    BootloaderPeer peer;
    peer.fault = BootloaderPeer::DoubleAck;
    peer.faultAt = 0; // the start packet, followed by a one-second pause
    QSerialPort port(peer.slavePath);
    QVERIFY(port.open(QIODevice::ReadWrite));
    auto *dfu = new Dfu(&port);
    Recorder recorder(dfu);
    dfu->upgrade(QString(), small);
    QTRY_VERIFY_WITH_TIMEOUT(recorder.finished(), 20000);
    QCOMPARE(recorder.events, runEvents(5, 4, Dfu::Success));
    QCOMPARE(peer.frames.size(), 5);
    QCOMPARE(peer.problems, QStringList());
}

// Nothing was flashed, so the run must not read as a successful update.
void DfuTest::nothingToSendFailsOnce()
{
    BootloaderPeer peer;
    QSerialPort port(peer.slavePath);
    QVERIFY(port.open(QIODevice::ReadWrite));
    auto *dfu = new Dfu(&port);
    Recorder recorder(dfu);
    dfu->upgrade(QString(), QString());
    QTRY_VERIFY(recorder.finished());
    QTest::qWait(1500);
    QCOMPARE(recorder.events, runEvents(0, 0, Dfu::NoResponseError));
    QCOMPARE(peer.frames.size(), 0);
}

void DfuTest::destructionMidRunLeavesNothingActing_data()
{
    QTest::addColumn<int>("silentFrom");
    QTest::addColumn<bool>("portFirst");
    QTest::addRow("updater destroyed while awaiting a reply") << 0 << false;
    QTest::addRow("updater destroyed during a pause") << 1 << false;
    QTest::addRow("port destroyed during a pause") << 1 << true;
}

void DfuTest::destructionMidRunLeavesNothingActing()
{
    QFETCH(int, silentFrom);
    QFETCH(bool, portFirst);
    BootloaderPeer peer;
    peer.fault = BootloaderPeer::Silent;
    peer.faultAt = silentFrom;
    auto *port = new QSerialPort(peer.slavePath);
    QVERIFY(port->open(QIODevice::ReadWrite));
    auto *dfu = new Dfu(port);
    Recorder recorder(dfu);
    dfu->upgrade(QString(), small);
    QTRY_COMPARE(peer.frames.size(), 1);
    if (silentFrom > 0)
        QTRY_VERIFY(dfu->advanceTimer->isActive());
    if (portFirst) {
        delete port;
        port = nullptr;
    }
    delete dfu;
    QTest::qWait(2500); // past the pause and the response timer
    QCOMPARE(recorder.events, QStringList{"started 5"});
    QCOMPARE(peer.frames.size(), 1);
    delete port;
}

// The device simulator's strict bootloader as the peer.
void DfuTest::builtInRunSatisfiesSimulator()
{
    SimProcess sim;
    QVERIFY(sim.start());
    QSerialPort port(sim.slavePath());
    QVERIFY(port.open(QIODevice::ReadWrite));
    port.write(QByteArray::fromHex("0204")); // enter upgrade mode
    QTRY_COMPARE_WITH_TIMEOUT(port.bytesAvailable(), qint64(3), 10000);
    QCOMPARE(port.readAll(), QByteArray::fromHex("038500"));
    auto *dfu = new Dfu(&port);
    Recorder recorder(dfu);
    dfu->upgrade();
    QTRY_VERIFY_WITH_TIMEOUT(recorder.finished(), 60000);
    port.close(); // the device restarts on a new pty after the transfer
    QCOMPARE(recorder.events.last(), QStringLiteral("finished 1"));
    const QJsonObject summary = sim.summary();
    QCOMPARE(summary.value(QStringLiteral("violations")).toArray(), QJsonArray());
    const QJsonArray images = summary.value(QStringLiteral("images")).toArray();
    QCOMPARE(images.size(), 2);
    for (const QJsonValue &image : images) {
        QVERIFY(image.toObject().value(QStringLiteral("complete")).toBool());
        QVERIFY(image.toObject().value(QStringLiteral("crcOk")).toBool());
    }
}

QTEST_MAIN(DfuTest)
#include "tst_dfutransfer.moc"
