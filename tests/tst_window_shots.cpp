// scripts/screenshots.sh end to end: the script starts its own X server and takes every named
// picture of the main window on virtual cameras (the Support page's states in both themes, the
// upgrade states through a real upgrade of a virtual camera); each picture must exist, have the
// screen's size and show more than one colour, and states that differ on the screen must give
// different pictures. The tool fails a state whose dialog did not come, whose upgrade bar was not
// shown while the upgrade ran, or whose upgrade did not end with its result box. Skipped where
// Xvfb is not installed.

#include <QtTest>

#include <QDir>
#include <QImage>
#include <QProcess>
#include <QSet>
#include <QStandardPaths>
#include <QTemporaryDir>

namespace {

// The pictures the script writes when no state is named: each state's, and the Support page's
// states in the dark theme too.
const QStringList kPictures = {
    QStringLiteral("empty"),
    QStringLiteral("two-cameras"),
    QStringLiteral("video-page"),
    QStringLiteral("color-page"),
    QStringLiteral("tracking-off"),
    QStringLiteral("tracking-auto"),
    QStringLiteral("notice"),
    QStringLiteral("dark"),
    QStringLiteral("zh"),
    QStringLiteral("support"),
    QStringLiteral("support-dark"),
    QStringLiteral("upgrade-ready"),
    QStringLiteral("upgrade-ready-dark"),
    QStringLiteral("upgrading"),
    QStringLiteral("upgrading-dark"),
    QStringLiteral("upgrade-done"),
    QStringLiteral("upgrade-done-dark"),
    QStringLiteral("recovery-prompt"),
    QStringLiteral("recovery-prompt-dark"),
    QStringLiteral("factory-reset-confirm"),
    QStringLiteral("factory-reset-confirm-dark"),
};
const QSize kScreenSize(1280, 800);
// A window on the screen has far more colours than this (text, icons, the preview's picture); a
// black screen, an unpainted window or a uniform fill has one or two.
constexpr int kMinColours = 16;

int colourCount(const QImage& image, int limit)
{
    QSet<QRgb> colours;
    for (int y = 0; y < image.height(); y += 2) {
        const auto* line = reinterpret_cast<const QRgb*>(image.constScanLine(y));
        for (int x = 0; x < image.width(); x += 2) {
            colours.insert(line[x]);
            if (colours.size() >= limit)
                return colours.size();
        }
    }
    return colours.size();
}

} // namespace

class TstWindowShots : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void picture_data();
    void picture();
    void statesDiffer_data();
    void statesDiffer();

private:
    QImage load(const QString& state) const
    {
        return QImage(QDir(m_dir.path()).filePath(state + QStringLiteral(".png")))
            .convertToFormat(QImage::Format_RGB32);
    }

    QTemporaryDir m_dir;
};

void TstWindowShots::initTestCase()
{
    if (QStandardPaths::findExecutable(QStringLiteral("Xvfb")).isEmpty())
        QSKIP("Xvfb is not installed");
    QVERIFY(m_dir.isValid());
    QProcess script;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("DECKCTL_BUILD_DIR"),
                       QDir(QStringLiteral(DECKCTL_BIN_DIR)).filePath(QStringLiteral("..")));
    environment.insert(QStringLiteral("DECKCTL_SHOTS_NO_BUILD"), QStringLiteral("1"));
    script.setProcessEnvironment(environment);
    script.setProcessChannelMode(QProcess::ForwardedChannels);
    script.start(QStringLiteral(DECKCTL_SOURCE_DIR "/scripts/screenshots.sh"), {m_dir.path()});
    QVERIFY(script.waitForStarted());
    QVERIFY2(script.waitForFinished(1500000), "the script did not end within 1500 s");
    // 1: a state was not reached (the tool names it on standard error).
    QCOMPARE(script.exitStatus(), QProcess::NormalExit);
    QCOMPARE(script.exitCode(), 0);
}

void TstWindowShots::picture_data()
{
    QTest::addColumn<QString>("state");
    for (const QString& state : kPictures)
        QTest::addRow("%s", qPrintable(state)) << state;
}

void TstWindowShots::picture()
{
    QFETCH(QString, state);
    const QImage image = load(state);
    QVERIFY2(!image.isNull(), qPrintable(state + QStringLiteral(".png is missing or unreadable")));
    QCOMPARE(image.size(), kScreenSize);
    const int colours = colourCount(image, kMinColours);
    QVERIFY2(colours >= kMinColours, qPrintable(QStringLiteral("only %1 colours").arg(colours)));
}

// Pairs of states whose pictures must differ: what the state changes is on the screen.
void TstWindowShots::statesDiffer_data()
{
    QTest::addColumn<QString>("first");
    QTest::addColumn<QString>("second");
    const QVector<QPair<const char*, const char*>> pairs = {
        {"empty", "video-page"},
        {"video-page", "two-cameras"},
        {"video-page", "color-page"},
        {"tracking-off", "tracking-auto"},
        {"video-page", "notice"},
        {"two-cameras", "dark"},
        {"video-page", "zh"},
        {"two-cameras", "support"},
        {"support", "support-dark"},
        {"support", "upgrade-ready"},
        {"upgrade-ready", "upgrade-ready-dark"},
        {"support", "upgrading"},
        {"upgrading", "upgrading-dark"},
        {"upgrading", "upgrade-done"},
        {"upgrade-done", "upgrade-done-dark"},
        {"empty", "recovery-prompt"},
        {"recovery-prompt", "recovery-prompt-dark"},
        {"support", "factory-reset-confirm"},
        {"factory-reset-confirm", "factory-reset-confirm-dark"},
        {"upgrade-ready", "factory-reset-confirm"},
    };
    for (const auto& pair : pairs)
        QTest::addRow("%s vs %s", pair.first, pair.second)
            << QString::fromLatin1(pair.first) << QString::fromLatin1(pair.second);
}

void TstWindowShots::statesDiffer()
{
    QFETCH(QString, first);
    QFETCH(QString, second);
    const QImage a = load(first);
    const QImage b = load(second);
    QVERIFY(!a.isNull() && !b.isNull());
    QVERIFY2(a != b, qPrintable(QStringLiteral("%1 and %2 look the same").arg(first, second)));
}

QTEST_GUILESS_MAIN(TstWindowShots)
#include "tst_window_shots.moc"
