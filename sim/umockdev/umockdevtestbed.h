#pragma once

// Building the testbed's sysfs, shared by the emulated camera and loader devices. Include only in
// sources that include <umockdev.h> first (GIO headers clash with Qt's keywords).

#include <QByteArray>
#include <QPair>
#include <QString>
#include <QStringList>
#include <QVector>

#include <cstddef>
#include <vector>

namespace umockdev_testbed {

using Pairs = QVector<QPair<QByteArray, QByteArray>>;

// A sysfs attribute's text: the value and a line end.
inline QByteArray line(const QByteArray& text)
{
    return text + '\n';
}

inline QByteArray hex4(int value)
{
    return QByteArray::number(value & 0xFFFF, 16).rightJustified(4, '0');
}

inline QByteArray decimal3(int value)
{
    return QByteArray::number(value).rightJustified(3, '0');
}

// Adds a device below parent (the top when empty) and returns its sysfs path; on failure an empty
// path, and errors names the device.
inline QString addDevice(UMockdevTestbed* testbed, const char* subsystem, const QString& name,
                         const QString& parent, const Pairs& attributes, const Pairs& properties,
                         QStringList* errors)
{
    // umockdev takes zero-terminated lists of alternating names and values.
    std::vector<QByteArray> storage;
    storage.reserve(static_cast<std::size_t>(2 * (attributes.size() + properties.size())));
    auto list = [&storage](const Pairs& pairs) {
        std::vector<gchar*> pointers;
        for (const auto& pair : pairs) {
            storage.push_back(pair.first);
            pointers.push_back(storage.back().data());
            storage.push_back(pair.second);
            pointers.push_back(storage.back().data());
        }
        pointers.push_back(nullptr);
        return pointers;
    };
    std::vector<gchar*> attributeList = list(attributes);
    std::vector<gchar*> propertyList = list(properties);
    const QByteArray nameBytes = name.toUtf8();
    const QByteArray parentBytes = parent.toUtf8();
    gchar* path = umockdev_testbed_add_devicev(testbed, subsystem, nameBytes.constData(),
                                               parent.isEmpty() ? nullptr : parentBytes.constData(),
                                               attributeList.data(), propertyList.data());
    if (!path) {
        *errors << QStringLiteral("cannot add %1 device %2").arg(QLatin1String(subsystem), name);
        return QString();
    }
    const QString result = QString::fromUtf8(path);
    g_free(path);
    return result;
}

} // namespace umockdev_testbed
