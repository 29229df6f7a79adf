// The main window's support actions on virtual cameras, in process: the factory reset, the
// firmware upgrade from a chosen package (refusals, a run to its end, a failed run, a worker without
// a result, a large package prepared while the window keeps running), closing and switching the
// language during an upgrade, and the repair of a camera found in a boot stage. Every dialog is
// answered by a DialogPlayer, as the user would. After every outcome nothing of a package is left
// in the working folder.

#include "app/globals.h"
#include "device/xuprotocol.h"
#include "sim/virtualrig.h"
#include "tests/support/logcapture.h"
#include "tests/support/packagebuilder.h"
#include "tests/support/windowfixture.h"
#include "ui/mainwindow.h"
#include "upgrade/package.h"
#include "upgrade/upgradethread.h"

#include <QtTest>

#include <QAbstractButton>
#include <QApplication>
#include <QDialog>
#include <QDir>
#include <QHash>
#include <QLabel>
#include <QProgressBar>
#include <QStackedWidget>
#include <QTextEdit>
#include <QTimer>

#include <memory>

namespace {

const QString kRestoreConfirm = QStringLiteral(
    "<h3>Restore Factory Defaults</h3>\r\nAre you sure you want to reset your device to factory settings? "
    "The "
    "current settings will be completely removed, and your device may take several seconds to reboot. Please "
    "keep your device connected during the whole resetting process.");
const QString kRestoreDone =
    QStringLiteral("To complete this process, your device may take a few seconds to restart.");
const QString kRestoreFailed = QStringLiteral(
    "<h3>Restore Factory Defaults</h3>\r\nThe device did not accept the request; its settings are "
    "unchanged. Please unplug and re-plug the device and try again.");
const QString kFormatWrong =
    QStringLiteral("<h3>Unable to upgrade. </h3>\r\n The format of firmware file is not correct.");
const QString kCorrupted = QStringLiteral("<h3>Unable to upgrade. </h3>\r\n The upgrade file is corrupted.");
const QString kMismatch =
    QStringLiteral("<h3>Unable to upgrade. </h3>\r\n The upgrade version does not match this device.");
const QString kDone =
    QStringLiteral("<h3> Upgrade is done! </h3>\r\n The device is initializing, don't power off.");
const QString kFailed =
    QStringLiteral("<h3>Upgrade Failed! </h3>\r\n Please unplug and re-plug the device and try again.");
const QString kUpgradeRunning = QStringLiteral("Cannot exit during the upgrade process!");

// One dialog as the user saw it.
struct SeenDialog
{
    QString name;
    QString text;
    QSize size;
    bool countdown = false;
};

// Plays the user: every visible dialog is recorded (its object name, its text) and, 50 ms after
// it opened, answered by clicking the next button queued for its object name ("btnOK" when none
// is queued). A dialog that stays open after its answer gets the next queued button, if any, 50 ms
// later.
class DialogPlayer : public QObject
{
public:
    DialogPlayer()
    {
        m_timer.setInterval(10);
        QObject::connect(&m_timer, &QTimer::timeout, this, [this] { poll(); });
        m_timer.start();
    }
    void answer(const QString& name, const QStringList& buttons) { m_answers[name] += buttons; }
    const QVector<SeenDialog>& seen() const { return m_seen; }
    // The dialogs seen, by name, with the results among them marked: for failure messages.
    QString summary() const
    {
        QStringList names;
        for (const SeenDialog& dialog : m_seen)
            names << dialog.name + (dialog.text == kDone     ? QStringLiteral("(done)")
                                    : dialog.text == kFailed ? QStringLiteral("(failed)")
                                                             : QString());
        return names.join(QLatin1Char(' '));
    }
    QStringList texts() const
    {
        QStringList result;
        for (const SeenDialog& dialog : m_seen)
            result << dialog.text;
        return result;
    }
    bool waitForText(const QString& prefix, int timeoutMs)
    {
        return QTest::qWaitFor(
            [&] {
                for (const SeenDialog& dialog : m_seen)
                    if (dialog.text.startsWith(prefix))
                        return true;
                return false;
            },
            timeoutMs);
    }

private:
    void poll()
    {
        // A dialog is known by a number stored on it: a new dialog may take a closed one's address.
        static const char* const kId = "dialogPlayerId";
        QSet<int> visible;
        for (QWidget* widget : QApplication::topLevelWidgets()) {
            auto* dialog = qobject_cast<QDialog*>(widget);
            if (!dialog || !dialog->isVisible())
                continue;
            if (!dialog->property(kId).isValid()) {
                dialog->setProperty(kId, ++m_lastId);
                m_open[m_lastId].start();
                SeenDialog seen{dialog->objectName(), QString(), dialog->size(), false};
                if (auto* label = dialog->findChild<QLabel*>(QStringLiteral("labeltext")))
                    seen.text = label->text();
                else if (auto* edit = dialog->findChild<QTextEdit*>(QStringLiteral("textEditPrompt")))
                    seen.text = edit->toHtml();
                else if (auto* prompt = dialog->findChild<QLabel*>(QStringLiteral("labelPrompt")))
                    seen.text = prompt->text();
                if (auto* countdown = dialog->findChild<QLabel*>(QStringLiteral("labelCountdown")))
                    seen.countdown = !countdown->isHidden();
                m_seen.append(seen);
            }
            const int id = dialog->property(kId).toInt();
            visible.insert(id);
            QStringList& queue = m_answers[dialog->objectName()];
            if (!m_open.contains(id) || m_open[id].elapsed() < 50 ||
                (m_answered.contains(id) && queue.isEmpty()))
                continue;
            const QString button = queue.isEmpty() ? QStringLiteral("btnOK") : queue.takeFirst();
            m_answered.insert(id);
            m_open[id].restart();
            if (auto* found = dialog->findChild<QAbstractButton*>(button))
                found->click();
            else
                dialog->reject();
        }
        for (auto it = m_open.begin(); it != m_open.end();) {
            if (!visible.contains(it.key())) {
                m_answered.remove(it.key());
                it = m_open.erase(it);
            } else {
                ++it;
            }
        }
    }

    QTimer m_timer;
    int m_lastId = 0;
    QHash<int, QElapsedTimer> m_open;
    QSet<int> m_answered;
    QHash<QString, QStringList> m_answers;
    QVector<SeenDialog> m_seen;
};

QByteArray imageWith(const QByteArray& marker)
{
    QByteArray image(4096, 'u');
    image.replace(1000, marker.size(), marker);
    return image;
}

using FileMap = QMap<QString, QByteArray>;

// A complete package for the QB18 (model index 7), with a camera script the virtual camera runs.
FileMap fullPackage(const QByteArray& image = imageWith("QB18"))
{
    return {
        {QStringLiteral("auto_update.txt"), "tftp 0x21000000 kernel\nsaveenv\nreset\n"},
        {QStringLiteral("scripts/[[kernel.es"), "tftp 0x21000000 kernel\n"},
        {QStringLiteral("kernel"), QByteArray(3000, 'k')},
        {QStringLiteral("miservice.ubifs"), image},
        {QStringLiteral("u-boot.bin"), QByteArray(2000, 'u')},
        {QStringLiteral("usb_updater.bin"), QByteArray(1500, 'p')},
        {QStringLiteral("xmos.dfu"), QByteArray(100, 'x')},
        {QStringLiteral("images/auto_update.txt"), "tftp 0x22000000 chip.img\nsaveenv\nreset\n"},
        {QStringLiteral("images/chip.img"), QByteArray(1000, 'c')},
    };
}

} // namespace

Q_DECLARE_METATYPE(ZipTestEntry)

class TstWindowUpgrade : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanup();

    void factoryReset_data();
    void factoryReset();
    void refusedPackages_data();
    void refusedPackages();
    void cancelledFileChoice();
    void upgradeToItsEnd();
    void preparationKeepsTheWindowRunning();
    void failedUpgrades_data();
    void failedUpgrades();
    void recoveryOfBootStage_data();
    void recoveryOfBootStage();
    void recoveryRejected_data();
    void recoveryRejected();
    void stepShownAndNewVersionsAfterReturn();

private:
    // A window on the cameras of configuration with the test's package chooser and short upgrade
    // waits installed before it handles any event; then the query worker is stopped and the log
    // and the journal start afresh.
    void openWindow(const QByteArray& configuration = R"({"cameras": [{"model": 7}]})");
    // The same window, without the settling: what the window did from its start stays in the log.
    void createWindow(const QByteArray& configuration);
    QString makePackage(const QString& name, const QVector<ZipTestEntry>& entries);
    QString makePackage(const QString& name, const FileMap& files);
    // Chooses file at the window's file questions from now on (they are counted).
    void chooseFile(const QString& file) { m_chosen = file; }
    // The outcome is over: bar hidden, button enabled when a camera is open, nothing left in the
    // working folder, close allowed.
    void verifyIdle();
    // What the working folder holds.
    QStringList workFolderEntries() const
    {
        return QDir(m_work->path()).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot);
    }
    template <class T> T* widget(const char* name)
    {
        T* found = m_window->findChild<T*>(QLatin1String(name));
        if (!found)
            qFatal("no widget %s", name);
        return found;
    }

    std::unique_ptr<WindowFixture> m_fixture;
    MainWindow* m_window = nullptr;
    std::unique_ptr<LogCapture> m_log;
    QTemporaryDir m_packages;
    std::unique_ptr<QTemporaryDir> m_work; // a fresh working folder per test
    QString m_chosen;                      // the answer to the window's file questions
    int m_questions = 0;
};

void TstWindowUpgrade::initTestCase()
{
    m_log = std::make_unique<LogCapture>();
    languageCN = false;
    QVERIFY(m_packages.isValid());
}

void TstWindowUpgrade::cleanup()
{
    // A case that stopped while an upgrade ran: the run ends, its boxes answered, before the
    // window goes (a running window refuses to close).
    if (m_window && m_window->m_upgrading) {
        DialogPlayer player;
        if (!QTest::qWaitFor([this] { return !m_window->m_upgrading; }, 60000))
            qWarning("the upgrade did not end");
    }
    m_fixture.reset();
    m_window = nullptr;
    m_chosen.clear();
    setUpgradeWorkFolder(QString());
}

void TstWindowUpgrade::createWindow(const QByteArray& configuration)
{
    m_fixture.reset();
    m_window = nullptr;
    LogCapture::clear();
    m_questions = 0;
    m_work = std::make_unique<QTemporaryDir>();
    QVERIFY(m_work->isValid());
    setUpgradeWorkFolder(m_work->path());
    m_fixture = std::make_unique<WindowFixture>(configuration);
    QVERIFY2(m_fixture->isValid(), qPrintable(m_fixture->errorString()));
    auto timing = std::make_shared<UpgradeTiming>();
    timing->pollIntervalMs = 20;
    timing->settleAfterBootLoaderMs = 10;
    timing->bootLoaderReturnMs = 1500;
    timing->audio.intervalMs = 10;
    m_window = m_fixture->createWindow(QSize(1400, 800), [this, timing](MainWindow* window) {
        window->upgradeTiming = timing;
        window->chooseUpgradeFile = [this](QWidget*, const QString& caption, const QString& filter) {
            ++m_questions;
            if (caption != QLatin1String("Open File") || filter != QLatin1String("Upgrade File(*.zip)"))
                return QString();
            return m_chosen;
        };
    });
    QVERIFY2(m_fixture->isValid(), qPrintable(m_fixture->errorString()));
}

void TstWindowUpgrade::openWindow(const QByteArray& configuration)
{
    createWindow(configuration);
    if (QTest::currentTestFailed())
        return;
    m_window->stopQueryWorker();
    QTest::qWait(150);
    m_fixture->journal().fresh();
    m_questions = 0;
    LogCapture::clear();
}

QString TstWindowUpgrade::makePackage(const QString& name, const QVector<ZipTestEntry>& entries)
{
    const QString archive = m_packages.filePath(name + QStringLiteral(".zip"));
    return writeStoredZip(archive, entries) ? archive : QString();
}

QString TstWindowUpgrade::makePackage(const QString& name, const FileMap& files)
{
    QVector<ZipTestEntry> entries;
    for (auto it = files.begin(); it != files.end(); ++it)
        entries.append({it.key(), it.value(), 0100644, false, true});
    return makePackage(name, entries);
}

void TstWindowUpgrade::verifyIdle()
{
    QVERIFY(widget<QProgressBar>("progressBarUpdate")->isHidden());
    if (m_window->m_cameraOpen)
        QVERIFY(widget<QAbstractButton>("btnUpgrade")->isEnabled());
    QVERIFY(!m_window->m_upgrading);
    QCOMPARE(workFolderEntries(), QStringList());
    QVERIFY(m_window->close());
}

// --- factory reset --------------------------------------------------------------------------

void TstWindowUpgrade::factoryReset_data()
{
    QTest::addColumn<QStringList>("answers");
    QTest::addColumn<int>("failures");
    QTest::addColumn<QStringList>("texts");
    QTest::addColumn<bool>("resetSent");
    QTest::addColumn<QString>("logLine");
    QTest::newRow("accepted") << QStringList{"btnOK", "btnOK"} << 0
                              << QStringList{kRestoreConfirm, kRestoreDone} << true << "Config default info";
    QTest::newRow("cancelled") << QStringList{"btnCancel"} << 0 << QStringList{kRestoreConfirm} << false
                               << QString();
    QTest::newRow("camera fails") << QStringList{"btnOK", "btnOK"} << 1000
                                  << QStringList{kRestoreConfirm, kRestoreFailed} << false
                                  << "Reset default params failed.";
}

void TstWindowUpgrade::factoryReset()
{
    QFETCH(QStringList, answers);
    QFETCH(int, failures);
    QFETCH(QStringList, texts);
    QFETCH(bool, resetSent);
    QFETCH(QString, logLine);
    openWindow();
    if (failures > 0)
        m_fixture->rig().modify(
            [failures](QVector<VirtualCamera>& cameras) { cameras[0].faults().failNext = failures; });
    DialogPlayer player;
    player.answer(QStringLiteral("FormCustomizeMessagebox"), answers);
    widget<QAbstractButton>("btnRestoreDefaults")->click();
    QCOMPARE(player.texts(), texts);
    QCOMPARE(player.seen().first().size, QSize(412, 214));
    QVERIFY(!player.seen().first().countdown);
    if (texts.size() > 1) // the closing box counts down after a reset, not after a failure
        QCOMPARE(player.seen().at(1).countdown, resetSent);
    QCOMPARE(vendorCommandCodes(m_fixture->journal().fresh(), CommandBlocks::Settings)
                 .contains(xu::XU_FACTORY_RESET),
             resetSent);
    QVERIFY(LogCapture::contains(QStringLiteral("dlg.width(): 412")));
    QVERIFY(LogCapture::contains(QStringLiteral("dlg.height(): 214")));
    if (!logLine.isEmpty())
        QVERIFY2(LogCapture::contains(logLine), qPrintable(logLine));
    if (!resetSent)
        QVERIFY(!LogCapture::contains(QStringLiteral("Config default info")));
    if (failures > 0) {
        // The camera stays as it was, so the query worker runs again for it.
        m_fixture->rig().modify([](QVector<VirtualCamera>& cameras) { cameras[0].faults().failNext = 0; });
        m_fixture->journal().fresh();
        QVector<QJsonObject> events;
        QTRY_VERIFY_WITH_TIMEOUT((events += m_fixture->journal().fresh(),
                                  !vendorCommandCodes(events, CommandBlocks::Queries).isEmpty()),
                                 10000);
    }
}

// --- upgrade --------------------------------------------------------------------------------

void TstWindowUpgrade::refusedPackages_data()
{
    QTest::addColumn<QVector<ZipTestEntry>>("entries");
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("outcome");
    QTest::addColumn<QString>("reason"); // part of the second line
    auto entries = [](const FileMap& files) {
        QVector<ZipTestEntry> result;
        for (auto it = files.begin(); it != files.end(); ++it)
            result.append({it.key(), it.value(), 0100644, false, true});
        return result;
    };
    FileMap noKernel = fullPackage();
    noKernel.remove(QStringLiteral("kernel"));
    QTest::newRow("format wrong") << entries(noKernel) << kFormatWrong << "PackageFormatWrong"
                                  << "the package has no kernel";
    QTest::newRow("corrupted") << entries(fullPackage(imageWith("no model here"))) << kCorrupted
                               << "PackageCorrupted"
                               << "no known model in miservice.ubifs";
    QTest::newRow("mismatch") << entries(fullPackage(imageWith("Zephyr_TM45"))) << kMismatch
                              << "PackageMismatch"
                              << "the camera is model 7";
    QVector<ZipTestEntry> unsafe = entries(fullPackage());
    unsafe.append({QStringLiteral("../escaped.txt"), "outside", 0100644});
    QTest::newRow("entry leaving the folder") << unsafe << kFormatWrong << "PackageFormatWrong"
                                              << "../escaped.txt";
}

void TstWindowUpgrade::refusedPackages()
{
    QFETCH(QVector<ZipTestEntry>, entries);
    QFETCH(QString, text);
    QFETCH(QString, outcome);
    QFETCH(QString, reason);
    openWindow();
    const QString archive = makePackage(QStringLiteral("refused"), entries);
    QVERIFY(!archive.isEmpty());
    chooseFile(archive);
    DialogPlayer player;
    widget<QAbstractButton>("btnUpgrade")->click();
    QCOMPARE(m_questions, 1);
    QCOMPARE(player.seen().size(), 1);
    // The refusal, then why in plain words.
    const QString shown = player.seen().first().text;
    QVERIFY2(shown.startsWith(text + QStringLiteral("<br>")), qPrintable(shown));
    QVERIFY2(shown.mid(text.size() + 4).contains(reason.toHtmlEscaped()), qPrintable(shown));
    QVERIFY(!player.seen().first().countdown);
    QVERIFY(LogCapture::contains(outcome));
    QVERIFY(!LogCapture::contains(QStringLiteral("m_processMax:")));
    QCOMPARE(workFolderEntries(), QStringList());
    QVERIFY(!QFile::exists(m_work->path() + QStringLiteral("/../escaped.txt")));
    verifyIdle();
}

void TstWindowUpgrade::cancelledFileChoice()
{
    openWindow();
    chooseFile(QString());
    DialogPlayer player;
    widget<QAbstractButton>("btnUpgrade")->click();
    QCOMPARE(m_questions, 1);
    QVERIFY(LogCapture::contains(QStringLiteral("Open file dialog cancel.")));
    QVERIFY(player.seen().isEmpty());
    verifyIdle();
}

void TstWindowUpgrade::upgradeToItsEnd()
{
    // After its loader entry the camera takes 2 s to show up as a mass-storage device: the run
    // lasts long enough for the requests below to meet it.
    openWindow(R"({"cameras": [{"model": 7, "loaderFaults": {"returnDelayMs": 2000}}]})");
    m_window->upgradeTiming->pollCountdown = 500;
    const QString archive = makePackage(QStringLiteral("ready"), fullPackage());
    chooseFile(archive);
    DialogPlayer player;
    widget<QAbstractButton>("btnUpgrade")->click();
    // Running: bar shown, button disabled, close refused.
    QVERIFY(LogCapture::contains(QStringLiteral("m_processMax: 2")));
    QVERIFY(!widget<QProgressBar>("progressBarUpdate")->isHidden());
    QVERIFY(!widget<QAbstractButton>("btnUpgrade")->isEnabled());
    // The watcher's report is ignored while an upgrade runs.
    m_window->slotOnDeviceAbnormal(0);
    QVERIFY(LogCapture::contains(QStringLiteral("Detect camera abnormal, state: 0")));
    QVERIFY(!m_window->close());
    QVERIFY(m_window->isVisible());
    // So is the language switch, which restarts the program.
    const bool chinese = languageCN;
    m_window->on_btnLanguage_clicked();
    QCOMPARE(languageCN, chinese);
    QCOMPARE(player.texts().count(kUpgradeRunning), 2);
    QVERIFY(m_window->isVisible());
    QVERIFY2(player.waitForText(kDone, 60000), qPrintable(player.texts().join('|')));
    QVERIFY(QTest::qWaitFor([this] { return !m_window->m_upgrading; }, 10000));
    QVERIFY(LogCapture::contains(QStringLiteral("upgrade report:")));
    QVERIFY(!player.texts().contains(kFailed));
    QCOMPARE(workFolderEntries(), QStringList());
    verifyIdle();
}

void TstWindowUpgrade::preparationKeepsTheWindowRunning()
{
    // A large image: unpacking it and searching it for the model take a while, on a thread of
    // their own, while the window's own timers keep firing and the bar shows that it is busy.
    openWindow();
    constexpr int kImageSize = 96 * 1024 * 1024;
    QByteArray image(kImageSize, 'u');
    // The model search reads the image's last window.
    image.replace(kImageSize - 4096, 4, "QB18");
    chooseFile(makePackage(QStringLiteral("large"), fullPackage(image)));
    image.clear();
    DialogPlayer player;
    player.answer(QStringLiteral("FormUpgrade"), {QStringLiteral("btnCancel")});
    auto* bar = widget<QProgressBar>("progressBarUpdate");
    int busyTicks = 0;
    QTimer ticker;
    ticker.setInterval(10);
    connect(&ticker, &QTimer::timeout, this, [&] {
        if (!bar->isHidden() && bar->minimum() == 0 && bar->maximum() == 0)
            ++busyTicks;
    });
    ticker.start();
    QElapsedTimer clock;
    clock.start();
    widget<QAbstractButton>("btnUpgrade")->click();
    ticker.stop();
    QVERIFY2(clock.elapsed() < 60000, "the preparation did not end");
    QVERIFY2(busyTicks >= 3, qPrintable(QStringLiteral("%1 ticks while busy").arg(busyTicks)));
    QCOMPARE(m_questions, 1);
    // The package was taken, and the upgrade declined.
    QCOMPARE(player.seen().size(), 1);
    QCOMPARE(player.seen().first().name, QStringLiteral("FormUpgrade"));
    QVERIFY(LogCapture::contains(QStringLiteral("FormUpgrade rejected.")));
    QVERIFY(!LogCapture::contains(QStringLiteral("m_processMax:")));
    verifyIdle();
}

void TstWindowUpgrade::failedUpgrades_data()
{
    QTest::addColumn<QByteArray>("configuration");
    QTest::addColumn<bool>("withUpdater");
    QTest::addColumn<bool>("reported");
    // A second device waits in the ROM stage, and the package brings no updater for it: the
    // worker cannot climb the stage and ends without a result. The window's watcher reports the
    // device in the ROM stage: its recovery dialog is declined.
    QTest::newRow("worker ends without a report")
        << QByteArray(R"({"cameras": [{"model": 7}, {"model": 7, "stage": "rom"}]})") << false << false;
    // The boot loader refuses every line of the camera's script: the worker reports the failure.
    QTest::newRow("script fails")
        << QByteArray(
               R"({"cameras": [{"model": 7, "loaderFaults": {"badStatus": {"match": "any", "count": -1}}}]})")
        << true << true;
}

void TstWindowUpgrade::failedUpgrades()
{
    QFETCH(QByteArray, configuration);
    QFETCH(bool, withUpdater);
    QFETCH(bool, reported);
    DialogPlayer player;
    openWindow(configuration);
    FileMap files = fullPackage();
    if (!withUpdater)
        files.remove(QStringLiteral("usb_updater.bin"));
    chooseFile(makePackage(QStringLiteral("failing"), files));
    widget<QAbstractButton>("btnUpgrade")->click();
    QVERIFY(LogCapture::contains(QStringLiteral("m_processMax:")));
    QVERIFY2(player.waitForText(kFailed, 30000), qPrintable(player.texts().join('|')));
    QVERIFY(!player.texts().contains(kDone));
    QCOMPARE(LogCapture::contains(QStringLiteral("upgrade report: the worker ended without a result")),
             !reported);
    QCOMPARE(LogCapture::contains(QStringLiteral("upgrade report: Upgrade failed.")), reported);
    QVERIFY(QTest::qWaitFor([this] { return !m_window->m_upgrading; }, 10000));
    verifyIdle();
}

// --- recovery -------------------------------------------------------------------------------

void TstWindowUpgrade::recoveryOfBootStage_data()
{
    QTest::addColumn<QString>("stage");
    QTest::addColumn<int>("state");
    QTest::addColumn<QStringList>("abnormalAnswers");
    QTest::addColumn<QStringList>("upgradeAnswers");
    QTest::addColumn<QString>("logLine"); // the line that ends the rejected rows' dialogs
    QTest::addColumn<bool>("usable");     // the chosen package passes the check
    const QStringList repair{QStringLiteral("btnUpgrade")};
    const QStringList consent{QStringLiteral("btnOK")};
    const QStringList cancel{QStringLiteral("btnCancel")};
    const struct
    {
        const char* name;
        const char* stage;
        int state;
    } stages[] = {{"ROM", "rom", 0}, {"updater", "updater", 1}, {"U-Boot", "uboot", 2}};
    for (const auto& stage : stages) {
        const QString name = QString::fromLatin1(stage.name);
        const QString key = QString::fromLatin1(stage.stage);
        QTest::newRow(qPrintable(name + QStringLiteral(", repaired")))
            << key << stage.state << repair << consent << QString() << true;
        QTest::newRow(qPrintable(name + QStringLiteral(", recovery cancelled")))
            << key << stage.state << cancel << QStringList() << QStringLiteral("FormAbnormal rejected.")
            << true;
        QTest::newRow(qPrintable(name + QStringLiteral(", upgrade declined")))
            << key << stage.state << repair << cancel << QStringLiteral("FormUpgrade rejected.") << true;
    }
    // The dialog stays open after a package that fails the check, and is then cancelled.
    QTest::newRow("ROM, package refused, then recovery cancelled")
        << "rom" << 0 << QStringList{QStringLiteral("btnUpgrade"), QStringLiteral("btnCancel")}
        << QStringList() << QStringLiteral("FormAbnormal rejected.") << false;
}

void TstWindowUpgrade::recoveryOfBootStage()
{
    QFETCH(QString, stage);
    QFETCH(int, state);
    QFETCH(QStringList, abnormalAnswers);
    QFETCH(QStringList, upgradeAnswers);
    QFETCH(QString, logLine);
    QFETCH(bool, usable);
    const bool repaired = logLine.isEmpty();
    // No camera answers as a camera: the only device waits in a boot stage, and the window's
    // watcher reports it as soon as the window runs. Without a model to check against, a package
    // whose image names no model is taken.
    FileMap files = fullPackage(imageWith("no model here"));
    if (!usable)
        files.remove(QStringLiteral("kernel"));
    chooseFile(makePackage(QStringLiteral("recovery"), files));
    DialogPlayer player;
    player.answer(QStringLiteral("FormAbnormal"), abnormalAnswers);
    player.answer(QStringLiteral("FormUpgrade"), upgradeAnswers);
    createWindow(QStringLiteral(R"({"cameras": [{"model": 7, "stage": "%1"}]})").arg(stage).toUtf8());
    if (QTest::currentTestFailed())
        return;
    const QString ended = repaired ? QStringLiteral("setAbnormalState false") : logLine;
    QVERIFY(QTest::qWaitFor([&] { return LogCapture::contains(ended); }, 30000));
    QVERIFY(LogCapture::contains(QStringLiteral("Detect camera abnormal, state: %1").arg(state)));
    QVERIFY(player.seen().size() >= 1);
    QCOMPARE(player.seen().at(0).name, QStringLiteral("FormAbnormal"));
    QVERIFY(player.seen().at(0).text.startsWith(QStringLiteral("<h3>Unknown Exception Detected</h3>")));
    QVERIFY(!player.seen().at(0).text.contains(QStringLiteral("https:///")));
    QCOMPARE(m_questions, int(abnormalAnswers.count(QStringLiteral("btnUpgrade"))));
    QCOMPARE(LogCapture::contains(QStringLiteral("PackageFormatWrong")), !usable);
    if (!repaired) {
        // Nothing started: the camera stays in its stage, the recovery's animation step stays.
        QVERIFY(!LogCapture::contains(QStringLiteral("m_processMax:")));
        QCOMPARE(m_window->m_processMax, 6);
        QCOMPARE(m_fixture->rig().cameras().at(0).stage(), stage);
        // No camera is open: the button stays disabled, also after a package was prepared.
        QVERIFY(!widget<QAbstractButton>("btnUpgrade")->isEnabled());
        verifyIdle();
        return;
    }
    QVERIFY(player.seen().size() >= 2);
    QCOMPARE(player.seen().at(1).name, QStringLiteral("FormUpgrade"));
    QVERIFY(player.seen().at(1).text.contains(QStringLiteral("Get Ready to Upgrade.")));
    // The Support page came to the front.
    QCOMPARE(widget<QStackedWidget>("stackedWidgetMain")->currentIndex(), 1);
    QVERIFY(widget<QAbstractButton>("btnNavSupport")->isChecked());
    QVERIFY(LogCapture::contains(QStringLiteral("m_processMax: 6")));
    QVERIFY2(player.waitForText(kDone, 60000), qPrintable(player.texts().join('|')));
    QVERIFY(!player.texts().contains(kFailed));
    QVERIFY(QTest::qWaitFor([this] { return !m_window->m_upgrading; }, 10000));
    QCOMPARE(m_window->m_processMax, 2);
    // The camera restarted as a camera, and the window lists it on its arrival.
    QVERIFY(QTest::qWaitFor([this] { return m_fixture->rig().cameras().at(0).present(); }, 10000));
    QCOMPARE(m_fixture->rig().cameras().at(0).stage(), QStringLiteral("normal"));
    m_fixture->plug(0);
    QCOMPARE(m_fixture->listedNames(), QStringList{QStringLiteral("PX QB18")});
    verifyIdle();
}

void TstWindowUpgrade::recoveryRejected_data()
{
    QTest::addColumn<QStringList>("abnormalAnswers");
    QTest::addColumn<QStringList>("upgradeAnswers");
    QTest::addColumn<QString>("logLine");
    QTest::addColumn<int>("questions");
    QTest::newRow("recovery cancelled")
        << QStringList{"btnCancel"} << QStringList{} << "FormAbnormal rejected." << 0;
    QTest::newRow("upgrade declined")
        << QStringList{"btnUpgrade"} << QStringList{"btnCancel"} << "FormUpgrade rejected." << 1;
}

void TstWindowUpgrade::recoveryRejected()
{
    QFETCH(QStringList, abnormalAnswers);
    QFETCH(QStringList, upgradeAnswers);
    QFETCH(QString, logLine);
    QFETCH(int, questions);
    openWindow();
    chooseFile(makePackage(QStringLiteral("ready"), fullPackage()));
    DialogPlayer player;
    player.answer(QStringLiteral("FormAbnormal"), abnormalAnswers);
    player.answer(QStringLiteral("FormUpgrade"), upgradeAnswers);
    m_window->slotOnDeviceAbnormal(2);
    QCOMPARE(m_questions, questions);
    QVERIFY2(LogCapture::contains(logLine), qPrintable(logLine));
    QVERIFY(LogCapture::contains(QStringLiteral("setAbnormalState false")));
    QVERIFY(!LogCapture::contains(QStringLiteral("m_processMax:")));
    QCOMPARE(workFolderEntries(), QStringList());
    // The recovery's animation step stays for the next upgrade, until one succeeds.
    widget<QAbstractButton>("btnUpgrade")->click();
    QVERIFY(LogCapture::contains(QStringLiteral("m_processMax: 6")));
    QVERIFY2(player.waitForText(kDone, 60000), qPrintable(player.texts().join('|')));
    QVERIFY(QTest::qWaitFor([this] { return !m_window->m_upgrading; }, 10000));
    // A new report is handled again after the recovery ended, once the camera is back.
    QVERIFY(QTest::qWaitFor([this] { return m_fixture->rig().cameras().at(0).present(); }, 10000));
    m_fixture->plug(0);
    QVERIFY(QTest::qWaitFor([this] { return m_window->m_cameraOpen; }, 10000));
    LogCapture::clear();
    widget<QAbstractButton>("btnUpgrade")->click();
    QVERIFY(LogCapture::contains(QStringLiteral("m_processMax: 2")));
    QVERIFY2(QTest::qWaitFor([&] { return player.texts().count(kDone) == 2; }, 60000),
             qPrintable(player.summary()));
    QVERIFY(QTest::qWaitFor([this] { return !m_window->m_upgrading; }, 10000));
    verifyIdle();
}

void TstWindowUpgrade::stepShownAndNewVersionsAfterReturn()
{
    // The audio module takes a while to install its image, and the camera stays away for a second
    // after its loader entry (long enough for the window to see it go); after the upgrade it
    // comes back with new firmware.
    openWindow(R"({"cameras": [{"model": 7, "upgradedFirmware": "1.3.0", "audioFaults": {"runningReads": 40},
                                "loaderFaults": {"returnDelayMs": 1000}}]})");
    m_window->upgradeTiming->pollCountdown = 500;
    QCOMPARE(widget<QLabel>("labelDevVer")->text(), QStringLiteral("V1.2.10"));
    QCOMPARE(widget<QLabel>("label_xmosVer")->text(), QStringLiteral("V1.0.3"));
    auto* step = widget<QLabel>("labelUpgradeStep");
    auto* bar = widget<QProgressBar>("progressBarUpdate");
    QVERIFY(step->isHidden());
    chooseFile(makePackage(QStringLiteral("ready"), fullPackage()));
    DialogPlayer player;
    widget<QAbstractButton>("btnUpgrade")->click();
    QVERIFY(!step->isHidden());

    // The steps as the label showed them, and whether the bar was hidden while one showed.
    QStringList shown;
    bool barHidden = false;
    // Whether a second upgrade or a factory reset could be started meanwhile.
    bool actionsEnabled = false;
    auto* upgrade = widget<QAbstractButton>("btnUpgrade");
    auto* reset = widget<QAbstractButton>("btnRestoreDefaults");
    const bool done = QTest::qWaitFor(
        [&] {
            if (!step->isHidden() && !step->text().isEmpty()) {
                if (shown.isEmpty() || shown.last() != step->text())
                    shown << step->text();
                barHidden = barHidden || bar->isHidden();
                actionsEnabled = actionsEnabled || upgrade->isEnabled() || reset->isEnabled();
            }
            return player.texts().contains(kDone) && step->isHidden();
        },
        60000);
    QVERIFY2(done, qPrintable(player.texts().join('|') + QLatin1Char('|') + shown.join('|')));
    QVERIFY2(shown.contains(QStringLiteral("Installing the audio module firmware")),
             qPrintable(shown.join('|')));
    QVERIFY2(shown.contains(QStringLiteral("Restarting the camera in upgrade mode")),
             qPrintable(shown.join('|')));
    QVERIFY2(shown.indexOf(QStringLiteral("Installing the audio module firmware")) <
                 shown.indexOf(QStringLiteral("Restarting the camera in upgrade mode")),
             qPrintable(shown.join('|')));
    // The camera left the list while the bar and the step stayed.
    QVERIFY(LogCapture::contains(QStringLiteral("usb camera out")));
    QVERIFY(!barHidden);
    QVERIFY(!actionsEnabled);
    // The run is over: the label is empty and hidden.
    QVERIFY(step->text().isEmpty());

    // Back through hot-plug, the camera is opened again and shows its new versions.
    QVERIFY2(QTest::qWaitFor(
                 [this] { return widget<QLabel>("labelDevVer")->text() == QLatin1String("V1.3.0"); }, 10000),
             qPrintable(widget<QLabel>("labelDevVer")->text()));
    QCOMPARE(widget<QLabel>("label_xmosVer")->text(), QStringLiteral("V1.0.100")); // 100 bytes of image
    QVERIFY(step->isHidden());
    verifyIdle();
}

QTEST_MAIN(TstWindowUpgrade)
#include "tst_window_upgrade.moc"
