#include "lowlatency.h"

#include <QSerialPort>

#ifdef Q_OS_LINUX
#include <linux/serial.h>
#include <sys/ioctl.h>
#endif

namespace {

// Unprivileged users may set this one flag; the rest of the driver's settings
// are written back as they were read, so nothing else changes.
void requestLowLatency(QSerialPort &port)
{
#ifdef Q_OS_LINUX
    const int fd = port.handle();
    serial_struct serial{};
    if (ioctl(fd, TIOCGSERIAL, &serial) != 0 || (serial.flags & ASYNC_LOW_LATENCY))
        return;
    serial.flags |= ASYNC_LOW_LATENCY;
    ioctl(fd, TIOCSSERIAL, &serial);
#else
    Q_UNUSED(port);
#endif
}

} // namespace

bool openWithLowLatency(QSerialPort &port)
{
    if (!port.open(QIODevice::ReadWrite))
        return false;
    requestLowLatency(port);
    return true;
}
