// The speaker volume and the libpulse binding against a real, private PulseAudio server that
// with_pulseaudio.sh starts with three null sinks, in this order:
//   qb18     "Lumadeck QB18 Speakerphone"
//   builtin  "Built-in Audio"
//   arden    "Lumadeck ARDEN 320 Speakerphone"
// Volumes are prepared and checked with pactl in raw units, independently of the code under test.

#include "device/pulsesoundserver.h"
#include "device/speakervolume.h"

#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QThread>
#include <QtTest>

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <memory>
#include <vector>

namespace {

constexpr int kNorm = 65536; // the server's raw nominal volume (100 %)

// Runs pactl with arguments and stores its standard output in output. False when pactl failed.
bool pactl(const QStringList& arguments, QString* output = nullptr)
{
    QProcess process;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("LC_ALL"), QStringLiteral("C"));
    process.setProcessEnvironment(environment);
    process.start(QStringLiteral("pactl"), arguments);
    if (!process.waitForFinished(30000) || process.exitStatus() != QProcess::NormalExit ||
        process.exitCode() != 0) {
        qWarning().noquote() << "pactl failed:" << arguments.join(QLatin1Char(' '))
                             << process.readAllStandardError();
        return false;
    }
    if (output)
        *output = QString::fromUtf8(process.readAllStandardOutput());
    return true;
}

bool setRaw(const QString& sink, int raw)
{
    return pactl({QStringLiteral("set-sink-volume"), sink, QString::number(raw)});
}

bool setRawChannels(const QString& sink, int left, int right)
{
    return pactl({QStringLiteral("set-sink-volume"), sink, QString::number(left), QString::number(right)});
}

// The raw volume of every channel of sink, as pactl reports it.
QVector<int> rawVolumes(const QString& sink)
{
    QString output;
    QVector<int> volumes;
    if (!pactl({QStringLiteral("get-sink-volume"), sink}, &output))
        return volumes;
    const QString firstLine = output.section(QLatin1Char('\n'), 0, 0);
    static const QRegularExpression channel(QStringLiteral(R"(:\s*(\d+)\s*/)"));
    auto it = channel.globalMatch(firstLine);
    while (it.hasNext())
        volumes.append(it.next().captured(1).toInt());
    return volumes;
}

// The raw volume of sink when all its channels agree, -1 otherwise.
int rawVolume(const QString& sink)
{
    const QVector<int> volumes = rawVolumes(sink);
    if (volumes.size() != 2) // the null sinks are stereo
        return -1;
    return volumes[0] == volumes[1] ? volumes[0] : -1;
}

QString qb18()
{
    return QStringLiteral("qb18");
}
QString builtin()
{
    return QStringLiteral("builtin");
}
QString arden()
{
    return QStringLiteral("arden");
}
QString speakerphone()
{
    return QStringLiteral("Speakerphone");
}

// Counts the warnings with a given text while it exists, and passes every message on.
class WarningCounter
{
public:
    explicit WarningCounter(const char* text)
    {
        s_text = text;
        s_count = 0;
        s_previous = qInstallMessageHandler(handle);
    }
    ~WarningCounter() { qInstallMessageHandler(s_previous); }
    WarningCounter(const WarningCounter&) = delete;
    WarningCounter& operator=(const WarningCounter&) = delete;
    int count() const { return s_count; }

private:
    static void handle(QtMsgType type, const QMessageLogContext& context, const QString& message)
    {
        if (type == QtWarningMsg && message == QLatin1String(s_text))
            ++s_count;
        if (s_previous)
            s_previous(type, context, message);
    }
    static inline const char* s_text = nullptr;
    static inline std::atomic<int> s_count{0};
    static inline QtMessageHandler s_previous = nullptr;
};

} // namespace

class TestSpeaker : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();

    void listSinksReportsServerOrderAndVolumes();
    void setSinkVolumeSetsEveryChannel();
    void readReportsFirstMatchingSink();
    void readMatchesCaseSensitively();
    void readTruncates_data();
    void readTruncates();
    void writeChangesEveryMatchingSinkOnly();
    void writeClamps_data();
    void writeClamps();
    void writeThenReadGivesEveryPercentBack();
    void noMatchingSink();
    void platformServerIsUsedByDefault();
    void callsFromSeveralThreads();
    void serverAbsent();
    void serverSilent();
};

void TestSpeaker::initTestCase()
{
    // Guards against running outside the wrapper, which would change a real server's volumes.
    PulseSoundServer server;
    QVector<SinkInfo> sinks;
    QVERIFY(server.listSinks(&sinks));
    QCOMPARE(sinks.size(), 3);
    QCOMPARE(sinks[0].name, qb18());
    QCOMPARE(sinks[1].name, builtin());
    QCOMPARE(sinks[2].name, arden());
}

void TestSpeaker::init()
{
    // Distinct volumes, none of them the nominal 100 % a fresh sink has.
    QVERIFY(setRaw(qb18(), 19661));    // 30 %
    QVERIFY(setRaw(builtin(), 52429)); // 80 %
    QVERIFY(setRaw(arden(), 39322));   // 60 %
}

void TestSpeaker::listSinksReportsServerOrderAndVolumes()
{
    QVERIFY(setRaw(qb18(), 32768));
    QVERIFY(setRawChannels(builtin(), 16384, 49152));
    PulseSoundServer server;
    QVector<SinkInfo> sinks;
    sinks.append(SinkInfo{QStringLiteral("stale"), QStringLiteral("stale"), 1.0});
    QVERIFY(server.listSinks(&sinks));
    QCOMPARE(sinks.size(), 3);
    QCOMPARE(sinks[0].name, qb18());
    QCOMPARE(sinks[0].description, QStringLiteral("Lumadeck QB18 Speakerphone"));
    QCOMPARE(sinks[0].volume, 0.5);
    QCOMPARE(sinks[1].name, builtin());
    QCOMPARE(sinks[1].description, QStringLiteral("Built-in Audio"));
    QCOMPARE(rawVolumes(builtin()), (QVector<int>{16384, 49152}));
    QCOMPARE(sinks[1].volume, 0.5); // the average over the channels
    QCOMPARE(sinks[2].name, arden());
    QCOMPARE(sinks[2].description, QStringLiteral("Lumadeck ARDEN 320 Speakerphone"));
    QCOMPARE(sinks[2].volume, 39322.0 / kNorm);
}

void TestSpeaker::setSinkVolumeSetsEveryChannel()
{
    QVERIFY(setRawChannels(arden(), 1000, 2000));
    PulseSoundServer server;
    QVERIFY(server.setSinkVolume(arden(), 0.25));
    QCOMPARE(rawVolumes(arden()), (QVector<int>{16384, 16384}));
    QVERIFY(server.setSinkVolume(arden(), 0.0));
    QCOMPARE(rawVolumes(arden()), (QVector<int>{0, 0}));
    QCOMPARE(rawVolume(qb18()), 19661);
    QCOMPARE(rawVolume(builtin()), 52429);

    QVERIFY(!server.setSinkVolume(QStringLiteral("no_such_sink"), 0.5));
}

void TestSpeaker::readReportsFirstMatchingSink()
{
    PulseSoundServer server;
    SpeakerVolume speaker(speakerphone(), &server);
    QCOMPARE(speaker.getVolume(), 30);

    // The other way round, so that neither sink can be right by accident.
    QVERIFY(setRaw(qb18(), 45876));  // 70 %
    QVERIFY(setRaw(arden(), 13108)); // 20 %
    QCOMPARE(speaker.getVolume(), 70);

    // A fragment that only the second speaker carries finds that one.
    SpeakerVolume arden320(QStringLiteral("ARDEN 320"), &server);
    QCOMPARE(arden320.getVolume(), 20);
}

void TestSpeaker::readMatchesCaseSensitively()
{
    PulseSoundServer server;
    SpeakerVolume lower(QStringLiteral("speakerphone"), &server);
    QCOMPARE(lower.getVolume(), -100);
    SpeakerVolume middle(QStringLiteral("QB18 Speaker"), &server);
    QCOMPARE(middle.getVolume(), 30);
}

void TestSpeaker::readTruncates_data()
{
    QTest::addColumn<int>("raw");
    QTest::addColumn<int>("percent");
    QTest::newRow("0.499") << 32702 << 49;
    QTest::newRow("just below 100 %") << 65535 << 99;
    QTest::newRow("just below 1 %") << 655 << 0;
    QTest::newRow("exactly 50 %") << 32768 << 50;
    QTest::newRow("0") << 0 << 0;
    // A sink boosted above its nominal volume still reads within the scale.
    QTest::newRow("101 %") << 66192 << 100;
    QTest::newRow("150 %") << 98304 << 100;
    QTest::newRow("exactly 100 %") << kNorm << 100;
}

void TestSpeaker::readTruncates()
{
    QFETCH(int, raw);
    QFETCH(int, percent);
    QVERIFY(setRaw(qb18(), raw));
    QCOMPARE(rawVolume(qb18()), raw);
    PulseSoundServer server;
    SpeakerVolume speaker(speakerphone(), &server);
    QCOMPARE(speaker.getVolume(), percent);
    const SpeakerReading reading = speaker.readVolume();
    QCOMPARE(reading.status, SpeakerStatus::Ok);
    QCOMPARE(reading.percent, percent);
}

void TestSpeaker::writeChangesEveryMatchingSinkOnly()
{
    PulseSoundServer server;
    SpeakerVolume speaker(speakerphone(), &server);
    QCOMPARE(speaker.setVolume(42), -100);
    QCOMPARE(speaker.writeVolume(42), SpeakerStatus::Ok);

    const int qb18Raw = rawVolume(qb18());
    const int ardenRaw = rawVolume(arden());
    QCOMPARE(qb18Raw * 100 / kNorm, 42);
    QCOMPARE(ardenRaw * 100 / kNorm, 42);
    QCOMPARE(rawVolume(builtin()), 52429);

    QVector<SinkInfo> sinks;
    QVERIFY(server.listSinks(&sinks));
    QCOMPARE(sinks.size(), 3);
    QCOMPARE(static_cast<int>(sinks[0].volume * 100), 42);
    QCOMPARE(static_cast<int>(sinks[2].volume * 100), 42);
    QCOMPARE(sinks[1].volume, 52429.0 / kNorm);
}

void TestSpeaker::writeClamps_data()
{
    QTest::addColumn<int>("requested");
    QTest::addColumn<int>("raw");
    QTest::newRow("150") << 150 << kNorm;
    QTest::newRow("101") << 101 << kNorm;
    QTest::newRow("100") << 100 << kNorm;
    QTest::newRow("0") << 0 << 0;
    QTest::newRow("-5") << -5 << 0;
}

void TestSpeaker::writeClamps()
{
    QFETCH(int, requested);
    QFETCH(int, raw);
    PulseSoundServer server;
    SpeakerVolume speaker(speakerphone(), &server);
    QCOMPARE(speaker.setVolume(requested), -100);
    QCOMPARE(rawVolume(qb18()), raw);
    QCOMPARE(rawVolume(arden()), raw);
    QCOMPARE(rawVolume(builtin()), 52429);
    QCOMPARE(speaker.getVolume(), raw * 100 / kNorm);
}

void TestSpeaker::writeThenReadGivesEveryPercentBack()
{
    PulseSoundServer server;
    SpeakerVolume speaker(speakerphone(), &server);
    for (int percent = 0; percent <= 100; ++percent) {
        QCOMPARE(speaker.setVolume(percent), -100);
        QCOMPARE(speaker.getVolume(), percent);
    }
}

void TestSpeaker::noMatchingSink()
{
    PulseSoundServer server;
    SpeakerVolume speaker(QStringLiteral("Conference Bar"), &server);
    QCOMPARE(speaker.getVolume(), -100);
    QCOMPARE(speaker.setVolume(10), -100);
    QCOMPARE(speaker.readVolume().status, SpeakerStatus::NoSpeaker);
    QCOMPARE(speaker.writeVolume(10), SpeakerStatus::NoSpeaker);
    QCOMPARE(rawVolume(qb18()), 19661);
    QCOMPARE(rawVolume(builtin()), 52429);
    QCOMPARE(rawVolume(arden()), 39322);
}

void TestSpeaker::platformServerIsUsedByDefault()
{
    // Without a server of its own the speaker uses the platform's, which finds the private server
    // through PULSE_SERVER like any libpulse client.
    SpeakerVolume speaker(speakerphone());
    QCOMPARE(speaker.getVolume(), 30);
    QCOMPARE(speaker.setVolume(75), -100);
    QCOMPARE(rawVolume(qb18()) * 100 / kNorm, 75);
    QCOMPARE(rawVolume(arden()) * 100 / kNorm, 75);
    QCOMPARE(rawVolume(builtin()), 52429);
}

void TestSpeaker::callsFromSeveralThreads()
{
    PulseSoundServer server;
    SpeakerVolume speaker(speakerphone(), &server);
    SpeakerVolume other(QStringLiteral("Built-in"), &server);
    std::atomic<int> wrong{0};
    std::vector<std::unique_ptr<QThread>> threads;
    for (int i = 0; i < 4; ++i) {
        threads.emplace_back(QThread::create([&] {
            for (int round = 0; round < 20; ++round) {
                if (speaker.getVolume() != 30 || other.getVolume() != 80)
                    ++wrong;
            }
        }));
    }
    threads.emplace_back(QThread::create([&] {
        for (int round = 0; round < 20; ++round) {
            if (other.setVolume(80) != -100)
                ++wrong;
        }
    }));
    for (auto& thread : threads)
        thread->start();
    for (auto& thread : threads)
        thread->wait();
    QCOMPARE(wrong.load(), 0);
}

void TestSpeaker::serverAbsent()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    PulseSoundServer absent(QStringLiteral("unix:") + dir.filePath(QStringLiteral("native")));
    QVector<SinkInfo> sinks{SinkInfo{}};
    QVERIFY(!absent.listSinks(&sinks));
    QVERIFY(sinks.isEmpty());
    QVERIFY(!absent.setSinkVolume(qb18(), 0.5));

    SpeakerVolume speaker(speakerphone(), &absent);
    {
        // One warning for the outage, not one per call.
        WarningCounter warnings("Sound server not reachable");
        QCOMPARE(speaker.getVolume(), 0);
        QCOMPARE(speaker.setVolume(50), 0);
        QCOMPARE(speaker.getVolume(), 0);
        QCOMPARE(warnings.count(), 1);
    }
    // Told apart from a speaker that is really at 0 %.
    QCOMPARE(speaker.readVolume().status, SpeakerStatus::Unreachable);
    QCOMPARE(speaker.writeVolume(50), SpeakerStatus::Unreachable);
    QCOMPARE(rawVolume(qb18()), 19661);
    QCOMPARE(rawVolume(arden()), 39322);
}

void TestSpeaker::serverSilent()
{
    // A socket that takes the connection but never answers: the calls give up after their timeout
    // instead of hanging (a hang ends in the test's time limit).
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QByteArray path = QFile::encodeName(dir.filePath(QStringLiteral("native")));
    const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
    QVERIFY(fd >= 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    QVERIFY(static_cast<size_t>(path.size()) < sizeof(address.sun_path));
    std::memcpy(address.sun_path, path.constData(), static_cast<size_t>(path.size()));
    QCOMPARE(::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof(address)), 0);
    QCOMPARE(::listen(fd, 8), 0);

    PulseSoundServer silent(QStringLiteral("unix:") + QString::fromLocal8Bit(path));
    SpeakerVolume speaker(speakerphone(), &silent);
    QCOMPARE(speaker.getVolume(), 0);
    QCOMPARE(speaker.setVolume(50), 0);
    QCOMPARE(speaker.readVolume().status, SpeakerStatus::Unreachable);
    ::close(fd);
    QCOMPARE(rawVolume(qb18()), 19661);
}

QTEST_GUILESS_MAIN(TestSpeaker)
#include "tst_speaker.moc"
