#ifndef PACKAGES_H
#define PACKAGES_H

#include "dfu.h"

#include <QList>
#include <QString>
#include <QTemporaryDir>

#include <memory>

// One package as the report names it: what the checks found, where it was
// read from and the digest of the bytes every device is sent.
struct PackageInfo
{
    QString name;
    QString path; // absolute, or the resource's for the built-in pair
    QString sha256;
    Dfu::ImageType type = Dfu::Application;
    qint64 fileBytes = 0;
    int imageBytes = 0;
    quint16 crc16 = 0;
};

// The update packages of one station run, checked before any port is opened.
// Files from disk are copied first and the copies checked and sent, so every
// device gets the bytes that passed, whatever happens to the files meanwhile.
class PackageSet
{
public:
    // Both paths empty: the built-in pair. On failure *error names the file
    // and the check that failed.
    bool prepare(const QString &bootloader, const QString &application, QString *error);

    // What to hand the DFU engine; both empty for the built-in pair.
    QString bootloaderPath() const { return bootloaderCopy; }
    QString applicationPath() const { return applicationCopy; }
    const QList<PackageInfo> &packages() const { return infos; }

    // Empty when the image is fit to send, else the failed check and its
    // values; `problem` is what the package reader found.
    static QString check(Dfu::ImageType type, const Dfu::UpdateImage &image, const QString &problem);

private:
    bool add(Dfu::ImageType type, const QString &path, QString *copy, QString *error);

    std::unique_ptr<QTemporaryDir> dir;
    QString bootloaderCopy;
    QString applicationCopy;
    QList<PackageInfo> infos;
};

#endif // PACKAGES_H
