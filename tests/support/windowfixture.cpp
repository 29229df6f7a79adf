#include "windowfixture.h"

#include "device/xuprotocol.h"

#include "app/settings.h"
#include "device/cameracontroltable.h"
#include "device/deviceid.h"
#include "device/deviceplatform.h"
#include "sim/virtualplatform.h"
#include "sim/virtualrig.h"
#include "ui/mainwindow.h"
#include "upgrade/libsstarufu.h"

#include <QApplication>
#include <QDir>
#include <QListWidget>
#include <QSettings>
#include <QTest>

WindowFixture::WindowFixture(const QByteArray& configuration,
                             const QVector<QPair<QString, QVariant>>& settings)
{
    if (!m_dir.isValid()) {
        m_error = QStringLiteral("no temporary directory: %1").arg(m_dir.errorString());
        return;
    }
    // The application directory: the settings file and, in a folder of its own, the user's.
    QDir(m_dir.path()).mkpath(QStringLiteral("user"));
    SettingsStore::setApplicationDirectories(m_dir.path(), m_dir.filePath(QStringLiteral("user")));
    {
        QSettings file(settingsPath(), QSettings::IniFormat);
        file.setValue(settings_keys::kBrandIndex, 0);
        for (const auto& [key, value] : settings)
            file.setValue(key, value);
        file.sync();
        if (file.status() != QSettings::NoError)
            m_error = QStringLiteral("cannot write %1").arg(settingsPath());
    }

    QVector<VirtualCamera> cameras;
    QString error;
    if (!VirtualRig::parseConfiguration(configuration, &cameras, &error)) {
        m_error = error;
        return;
    }
    const QString journalPath = m_dir.filePath(QStringLiteral("journal.jsonl"));
    auto rig = std::make_unique<VirtualRig>(cameras, QString(), journalPath);
    if (!rig->isValid()) {
        m_error = rig->errorString();
        return;
    }
    m_rig = rig.get();
    // The mass-storage discovery keeps a process-wide device of the platform it used.
    USB_ExitDevice();
    CameraControlTable::instance().reset();
    installDevicePlatform(std::make_unique<VirtualPlatform>(std::move(rig)));
    m_journal.setPath(journalPath);
}

WindowFixture::~WindowFixture()
{
    destroyWindow();
    if (m_rig) {
        USB_ExitDevice();
        installDevicePlatform(nullptr);
    }
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    QCoreApplication::processEvents();
}

QVector<QPair<QString, QVariant>> WindowFixture::brand(int brandIndex)
{
    return {{settings_keys::kBrandIndex, brandIndex}};
}

QString WindowFixture::settingsPath() const
{
    return m_dir.filePath(QStringLiteral("product.ini"));
}

MainWindow* WindowFixture::createWindow(const QSize& size, const std::function<void(MainWindow*)>& setUp)
{
    destroyWindow();
    m_window = std::make_unique<MainWindow>();
    // The workers' reports are queued: none is handled before the events below.
    if (setUp)
        setUp(m_window.get());
    m_window->resize(size);
    m_window->show();
    if (!QTest::qWaitForWindowExposed(m_window.get()))
        m_error = QStringLiteral("the window was not shown");
    return m_window.get();
}

void WindowFixture::destroyWindow()
{
    if (!m_window)
        return;
    m_window->close();
    m_window.reset();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
}

QWidget* WindowFixture::windowWidget() const
{
    return m_window.get();
}

QString WindowFixture::devicePath(int camera, int captureOrdinal) const
{
    const QVector<VirtualCamera> cameras = m_rig->cameras();
    if (camera < 0 || camera >= cameras.size())
        return QString();
    UsbVideoNodeIdentity identity;
    identity.vendorId = cameras.at(camera).vendorId();
    identity.productId = cameras.at(camera).productId();
    identity.serial = cameras.at(camera).serial();
    identity.busPort = cameras.at(camera).busPort();
    identity.captureOrdinal = captureOrdinal;
    return buildDevicePath(identity);
}

void WindowFixture::changeCamera(int camera, const std::function<void(QJsonObject&)>& change)
{
    m_rig->modify([camera, &change](QVector<VirtualCamera>& cameras) {
        QJsonObject json = cameras[camera].toJson();
        change(json);
        cameras[camera] = VirtualCamera::fromJson(json);
    });
}

void WindowFixture::unplug(int camera)
{
    changeCamera(camera, [](QJsonObject& json) { json.insert(QStringLiteral("present"), false); });
    notify(camera, false);
}

void WindowFixture::plug(int camera)
{
    changeCamera(camera, [](QJsonObject& json) { json.insert(QStringLiteral("present"), true); });
    notify(camera, true);
}

void WindowFixture::notify(int camera, bool arrival)
{
    if (!m_window)
        return;
    const bool microphone = m_rig->cameras().at(camera).hasMicrophoneNode();
    if (microphone)
        m_window->slotOnDeviceChange(arrival, devicePath(camera, 1));
    m_window->slotOnDeviceChange(arrival, devicePath(camera, 0));
}

QStringList WindowFixture::listedNames() const
{
    QStringList names;
    auto* list = widget<QListWidget>(QStringLiteral("listWidgetCamera"));
    for (int row = 0; list && row < list->count(); ++row)
        names << list->item(row)->text();
    return names;
}

QVector<int> vendorCommandCodes(const QVector<QJsonObject>& events, CommandBlocks kind)
{
    QVector<int> codes;
    for (const QJsonObject& event : events) {
        if (event.value(QLatin1String("event")).toString() != QLatin1String("xu-set") ||
            event.value(QLatin1String("selector")).toInt() != xu::SELECTOR_COMMAND)
            continue;
        const QByteArray data = QByteArray::fromHex(event.value(QLatin1String("data")).toString().toLatin1());
        if (data.isEmpty())
            continue;
        const int code = static_cast<std::uint8_t>(data.at(0));
        if (((code & xu::kQueryBit) != 0) == (kind == CommandBlocks::Queries))
            codes.append(code);
    }
    return codes;
}
