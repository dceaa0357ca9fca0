#ifndef DEVICESIGNALS_H
#define DEVICESIGNALS_H

#include "orvikdevice.h"

#include <QMetaEnum>
#include <QMetaMethod>

#include <functional>
#include <type_traits>

// A request as a table column: a call on the link.
using Request = std::function<void(OrvikDevice &)>;
Q_DECLARE_METATYPE(Request)

// The link's signals as lines "name arguments..." in emission order: a whole exchange compares as one list.
namespace DeviceSignals {

template<typename T>
QString text(const T &value)
{
    if constexpr (std::is_same_v<T, bool>)
        return value ? "true" : "false";
    else if constexpr (std::is_same_v<T, QByteArray>)
        return value.toHex();
    else if constexpr (std::is_same_v<T, QString>)
        return value;
    else if constexpr (std::is_same_v<T, QStringList>)
        return value.join('|');
    else if constexpr (std::is_enum_v<T>)
        return QString::fromLatin1(QMetaEnum::fromType<T>().valueToKey(value));
    else
        return QString::number(value);
}

// `after` runs once the line is added, still inside the emission.
template<typename Class, typename... Args>
void record(OrvikDevice *device, QStringList *lines, void (Class::*signal)(Args...), std::function<void()> after = {})
{
    const QString name = QString::fromLatin1(QMetaMethod::fromSignal(signal).name());
    QObject::connect(device, signal, device, [=](Args... args) {
        *lines << (QStringList{ name } << ... << text(args)).join(' ');
        if (after)
            after();
    });
}

// The replies and the result of an upgrade; not its progress, nor port errors.
inline void recordReplies(OrvikDevice *device, QStringList *lines, const std::function<void()> &after = {})
{
    const auto each = [&](auto... signal) { (record(device, lines, signal, after), ...); };
    each(&OrvikDevice::radioFound, &OrvikDevice::scanComplete, &OrvikDevice::verifyPassKey, &OrvikDevice::pairComplete,
         &OrvikDevice::upgradeReady, &OrvikDevice::upperGpioComplete, &OrvikDevice::lowerGpioComplete,
         &OrvikDevice::resetComplete, &OrvikDevice::getInfoComplete, &OrvikDevice::getHwRevComplete,
         &OrvikDevice::getFwRevComplete, &OrvikDevice::getSwRevComplete, &OrvikDevice::getBattComplete,
         &OrvikDevice::getLogsComplete, &OrvikDevice::setSerialComplete, &OrvikDevice::upgradeFinished);
}

} // namespace DeviceSignals

#endif // DEVICESIGNALS_H
