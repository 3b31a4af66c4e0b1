#pragma once

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QString>
#include <QTemporaryDir>

// A sysfs tree laid out the way the kernel lays it out, in a temporary folder: devices under
// devices/, and class/tty/<name>/device leading to each tty's device.
struct SysfsTree {
    QTemporaryDir root;
    // Where the receive trigger's own value is noted while it is lowered.
    QTemporaryDir notes;

    QString Path(const QString& relative) const { return QDir(root.path()).filePath(relative); }
    QByteArray Read(const QString& relative) const {
        QFile file(Path(relative));
        return file.open(QIODevice::ReadOnly) ? file.readAll().trimmed() : QByteArray("(none)");
    }

    void Write(const QString& relative, const QByteArray& value) const {
        QDir().mkpath(QFileInfo(Path(relative)).path());
        QFile file(Path(relative));
        if (!file.open(QIODevice::WriteOnly))
            qFatal("cannot write %s", qPrintable(Path(relative)));
        file.write(value + '\n');
    }

    // A USB device at `place` ("1-1.2") with its ids and serial number ("" for none).
    void AddUsbDevice(const QString& place, const QByteArray& vendor, const QByteArray& product,
                      const QByteArray& serial) const {
        const QString device = "devices/pci0000:00/usb1/" + place;
        Write(device + "/idVendor", vendor);
        Write(device + "/idProduct", product);
        if (!serial.isEmpty())
            Write(device + "/serial", serial);
    }

    // A tty on interface `interface` of the USB device at `place`: a ttyUSB is a usb-serial port
    // below the interface, a ttyACM has the interface itself as its device.
    void AddTty(const QString& name, const QString& place, int interface, int portNumber = -1) const {
        const QString interfaceFolder =
            QStringLiteral("devices/pci0000:00/usb1/%1/%1:1.%2").arg(place).arg(interface);
        Write(interfaceFolder + "/bInterfaceNumber", QByteArray::number(interface).rightJustified(2, '0'));
        QString device = interfaceFolder;
        if (name.startsWith("ttyUSB")) {
            device += "/" + name;
            QDir().mkpath(Path(device));
            if (portNumber >= 0)
                Write(device + "/port_number", QByteArray::number(portNumber));
        }
        Link(name, device);
    }

    void Link(const QString& name, const QString& device) const {
        QDir().mkpath(Path("class/tty/" + name));
        QFile::link(Path(device), Path("class/tty/" + name + "/device"));
    }
    void Remove(const QString& name) const { QDir(Path("class/tty/" + name)).removeRecursively(); }
};
