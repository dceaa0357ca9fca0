// Shared by the libFuzzer targets and tst_fuzzregressions: each check drives one reader or the package loader with one
// input, without a serial port, and returns the first rule the code broke (empty when none). Memory errors are the
// sanitizers' to report. Befriended by OrvikDevice and Dfu.
#ifndef FUZZHARNESS_H
#define FUZZHARNESS_H

#include "devicesignals.h"
#include "testhelpers.h"

#include <QCoreApplication>
#include <QDir>
#include <QTemporaryDir>
#include <QTimer>

#include <cstdio>
#include <cstdlib>

struct FuzzHarness
{
    // Input cut into chunks: a header byte h, then up to h & mask bytes.
    template<typename Take>
    static void forEachChunk(const uint8_t *data, size_t size, quint8 mask, Take take)
    {
        for (size_t pos = 0, length; pos < size; pos += 1 + length) {
            length = qMin<size_t>(data[pos] & mask, size - pos - 1);
            take(data[pos], QByteArray(reinterpret_cast<const char *>(data + pos + 1), int(length)));
        }
    }

    // Device reply reader; chunk length h & 0x7F. A chunk with bit 7 set arrives while the receiver of the next signal
    // runs, as in a message box's nested loop. After every outer call the buffer may hold only the start of one frame.
    static QString checkDeviceReply(const uint8_t *data, size_t size)
    {
        QString problem;
        const auto check = [&problem](bool ok, const char *what) {
            problem = ok || !problem.isEmpty() ? problem : what;
        };
        OrvikDevice device;
        QList<QByteArray> nested;
        QStringList emitted;
        int depth = 0;
        DeviceSignals::recordReplies(&device, &emitted, [&] {
            if (!nested.isEmpty() && depth < 8)
                ++depth, device.processReplyBytes(nested.takeFirst()), --depth;
        });
        forEachChunk(data, size, 0x7F, [&](quint8 header, const QByteArray &bytes) {
            if (header & 0x80)
                return nested.append(bytes);
            device.processReplyBytes(bytes);
            while (!nested.isEmpty())
                device.processReplyBytes(nested.takeFirst());
            const QByteArray &left = device.replyBuffer;
            check(left.size() < 2 || (quint8(left.at(0)) >= 2 && quint8(left.at(0)) > left.size()),
                  "a complete frame, or a length below 2, left in the buffer");
        });
        check(emitted.size() <= int(size) / 2, "more signals than frames could have produced");
        return problem;
    }

    // DFU reply reader and its stop-and-wait state. Byte 0: bits 0-2 data packets of 0xC0 bytes, bit 3 the last one
    // short, bit 7 nothing queued. Then chunks of h & 0x3F bytes for the reader, after each of which the event loop
    // does h >> 6: 1 a pending advance, 2 the response timeout, 3 pending events.
    static QString checkDfuReply(const uint8_t *data, size_t size)
    {
        QString problem;
        const auto check = [&problem](bool ok, const char *what) {
            problem = ok || !problem.isEmpty() ? problem : what;
        };
        if (size == 0)
            return problem;
        forEachChunk(data + 1, size - 1, 0xFF, [&](quint8, const QByteArray &bytes) {
            bool ok = false;
            check(Dfu::slipDecode(Dfu::slipEncode(bytes), &ok) == bytes && ok, "escaping does not round-trip");
        });
        Dfu dfu(nullptr);
        Dfu::UpdateImage image;
        image.image = QByteArray(qMax(0, (data[0] & 7) * 512 - (data[0] & 8 ? 100 : 0)), char(0xC0));
        int total = -1, progress = 0, results = 0;
        QObject::connect(&dfu, &Dfu::updateStarted, [&](int count) { total = count; });
        QObject::connect(&dfu, &Dfu::updateProgress, [&](int current) {
            check(!results && current == ++progress && current < total, "progress out of order or after the result");
        });
        QObject::connect(&dfu, &Dfu::updateFinished, [&](Dfu::ErrorType error) {
            check(++results == 1 && (error != Dfu::Success || dfu.currentPacket == dfu.packets.size()),
                  "a second result, or success before the last packet");
        });
        if (!(data[0] & 0x80))
            dfu.queueImage(image, 0);
        dfu.sendNextPacket();
        check(total == dfu.packets.size() && total == (data[0] & 0x80 ? 0 : packetsFor(image.image.size())),
              "queue length other than start, init, one data packet per 512 bytes and stop");
        forEachChunk(data + 1, size - 1, 0x3F, [&](quint8 header, const QByteArray &bytes) {
            dfu.processReplyBytes(bytes);
            if (header >> 6 == 1 && dfu.advanceTimer->isActive())
                dfu.advanceTimer->stop(), dfu.sendNextPacket();
            else if (header >> 6 == 2 && dfu.responseTimer->isActive())
                dfu.responseTimer->stop(), dfu.onResponseTimeout();
            else if (header >> 6 == 3)
                QCoreApplication::processEvents();
            const bool pausing = dfu.advanceTimer->isActive(), awaiting = dfu.responseTimer->isActive();
            check(!(pausing && awaiting) && !(results && (pausing || awaiting)),
                  "a timer running with the other or after the result");
        });
        return problem;
    }

    // Package loader on the archive bytes, as both package types. The package lies in a private work directory whose
    // tmp/ is the temporary location: afterwards tmp/ is empty and nothing new lies beside the package.
    static QString checkLoadPackage(const uint8_t *data, size_t size)
    {
        static QTemporaryDir work;
        static const bool ready =
                QDir(work.path()).mkdir("tmp") && qputenv("TMPDIR", QFile::encodeName(work.filePath("tmp")));
        QFile file(work.filePath("package.zip"));
        if (!ready || !file.open(QIODevice::WriteOnly)
            || file.write(reinterpret_cast<const char *>(data), qint64(size)) != qint64(size))
            return "cannot write the package";
        file.close();
        const auto filter = QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System;
        for (const Dfu::ImageType type : { Dfu::SoftDeviceBootloader, Dfu::Application }) {
            Dfu::readPackage(type, file.fileName());
            if (!QDir(work.filePath("tmp")).isEmpty(filter))
                return "something left in the temporary location";
            if (QDir(work.path()).entryList(filter) != QStringList({ "package.zip", "tmp" }))
                return "written outside the temporary location";
        }
        return QString();
    }
};

// libFuzzer entry points: an application for the timers, Qt's warnings silenced, a hard stop on a broken rule.
#define ORVIK_FUZZ_TARGET(check)                                                               \
    extern "C" int LLVMFuzzerInitialize(int *argc, char ***argv)                               \
    {                                                                                          \
        static QCoreApplication app(*argc, *argv);                                             \
        qInstallMessageHandler([](QtMsgType, const QMessageLogContext &, const QString &) {}); \
        return 0;                                                                              \
    }                                                                                          \
    extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)                    \
    {                                                                                          \
        const QString problem = FuzzHarness::check(data, size);                                \
        if (!problem.isEmpty())                                                                \
            std::fprintf(stderr, "broken rule: %s\n", qPrintable(problem)), std::abort();      \
        return 0;                                                                              \
    }

#endif // FUZZHARNESS_H
