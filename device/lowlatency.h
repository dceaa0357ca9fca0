#ifndef LOWLATENCY_H
#define LOWLATENCY_H

class QSerialPort;

// Opens the port for reading and writing and then asks its serial driver for
// low-latency mode: an FTDI bridge then hands on received bytes after 1 ms
// instead of holding them up to 16 ms, without root or a udev rule. A port
// whose driver has no such mode (a pseudo-terminal, another driver) is used as
// it is. Returns whether the port opened.
bool openWithLowLatency(QSerialPort &port);

#endif // LOWLATENCY_H
