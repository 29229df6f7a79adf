#include "app/settings.h"

#include <QtTest>

#include <QSettings>
#include <QTemporaryDir>

#include <functional>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

void writeIni(const QString& path, const QVector<QPair<QString, QString>>& lines)
{
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    for (const auto& line : lines)
        file.write(QStringLiteral("%1=%2\n").arg(line.first, line.second).toUtf8());
}

QByteArray readAll(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// Runs check as an ordinary user, so that directory permissions mean what they mean on a desktop
// even when the tests run as root (root may write anywhere). Returns what check returned.
QString runUnprivileged(const std::function<QString()>& check)
{
    if (::geteuid() != 0)
        return check();
    int fds[2];
    if (::pipe(fds) != 0)
        return QStringLiteral("pipe failed");
    const pid_t child = ::fork();
    if (child == 0) {
        ::close(fds[0]);
        if (::setgid(65534) != 0 || ::setuid(65534) != 0)
            ::_exit(3);
        const QByteArray report = check().toUtf8();
        const ssize_t written = ::write(fds[1], report.constData(), size_t(report.size()));
        ::_exit(written == report.size() ? 0 : 4);
    }
    ::close(fds[1]);
    QByteArray report;
    char buffer[256];
    ssize_t n;
    while ((n = ::read(fds[0], buffer, sizeof buffer)) > 0)
        report.append(buffer, int(n));
    ::close(fds[0]);
    int status = 0;
    ::waitpid(child, &status, 0);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
        return QStringLiteral("child failed with status %1").arg(status);
    return QString::fromUtf8(report);
}

} // namespace

class TstSettings : public QObject
{
    Q_OBJECT
private slots:
    void init();
    void defaultsWithoutFile();
    void unreadableValuesReadAsZero_data();
    void unreadableValuesReadAsZero();
    void writesBesideWritableExecutable();
    void readOnlyInstallUsesUserDirectory();
    void unwritableTargetReportsFailure();

private:
    QScopedPointer<QTemporaryDir> m_dir;
    QString m_appDir;
    QString m_userDir;
};

void TstSettings::init()
{
    m_dir.reset(new QTemporaryDir);
    QVERIFY(m_dir->isValid());
    // Ordinary users must reach the tree for the read-only install case.
    QVERIFY(::chmod(QFile::encodeName(m_dir->path()).constData(), 0755) == 0);
    m_appDir = m_dir->filePath(QStringLiteral("bin"));
    m_userDir = m_dir->filePath(QStringLiteral("config/deckctl"));
    QVERIFY(QDir().mkpath(m_appDir));
}

void TstSettings::defaultsWithoutFile()
{
    const SettingsStore store(m_appDir, m_userDir);
    QCOMPARE(store.languageCN(), false);
    QCOMPARE(store.brandIndex(), 0);
    QCOMPARE(store.styleIndex(), 0);
    QCOMPARE(store.windowGeometry(), QRect(0, 0, 0, 0));
    QVERIFY(!QFile::exists(store.writePath())); // reading creates nothing
}

void TstSettings::unreadableValuesReadAsZero_data()
{
    QTest::addColumn<QString>("language");
    QTest::addColumn<QString>("brand");
    QTest::addColumn<bool>("languageCN");
    QTest::addColumn<int>("brandIndex");
    QTest::newRow("written by the program") << "true"
                                            << "1" << true << 1;
    QTest::newRow("numeric true") << "1"
                                  << "1" << true << 1;
    QTest::newRow("false") << "false"
                           << "0" << false << 0;
    QTest::newRow("garbage") << "maybe"
                             << "abc" << false << 0;
    QTest::newRow("empty") << ""
                           << "" << false << 0;
    QTest::newRow("trailing junk") << "yes"
                                   << "12abc" << false << 0;
}

void TstSettings::unreadableValuesReadAsZero()
{
    QFETCH(QString, language);
    QFETCH(QString, brand);
    QFETCH(bool, languageCN);
    QFETCH(int, brandIndex);
    const SettingsStore store(m_appDir, m_userDir);
    QFile file(store.writePath());
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write(
        QStringLiteral("[ChangeLanguage]\nLanguageCN=%1\n[product_model]\nmain=%2\n[window]\nleft=-20\n")
            .arg(language, brand)
            .toUtf8());
    file.close();
    QCOMPARE(store.languageCN(), languageCN);
    QCOMPARE(store.brandIndex(), brandIndex);
    QCOMPARE(store.windowGeometry().left(), -20);
}

void TstSettings::writesBesideWritableExecutable()
{
    const QString besideExe = m_appDir + QStringLiteral("/product.ini");
    {
        QSettings provisioned(besideExe, QSettings::IniFormat);
        provisioned.setValue(settings_keys::kBrandIndex, 1);
    }
    const SettingsStore store(m_appDir, m_userDir);
    QCOMPARE(store.writePath(), besideExe);
    QVERIFY(!store.usesUserDirectory());
    QCOMPARE(store.brandIndex(), 1);

    QVERIFY(store.setValues({{settings_keys::kWindowLeft, QString::number(12)},
                             {settings_keys::kStyleIndex, QString::number(1)},
                             {settings_keys::kLanguageCN, true}}));
    QCOMPARE(store.styleIndex(), 1);
    QCOMPARE(store.windowGeometry().left(), 12);
    QVERIFY(store.languageCN());
    const QByteArray text = readAll(besideExe);
    QVERIFY2(text.contains("left=12"), text.constData());
    QVERIFY(text.contains("main=1")); // the provisioned key survives the program's writes
    QVERIFY(!QFile::exists(m_userDir + QStringLiteral("/product.ini")));
    // The writability probe leaves nothing behind.
    QCOMPARE(QDir(m_appDir).entryList(QDir::Files | QDir::Hidden), QStringList("product.ini"));
}

void TstSettings::readOnlyInstallUsesUserDirectory()
{
    const QString besideExe = m_appDir + QStringLiteral("/product.ini");
    {
        QSettings provisioned(besideExe, QSettings::IniFormat);
        provisioned.setValue(settings_keys::kBrandIndex, 1);
        provisioned.setValue(settings_keys::kLanguageCN, true);
    }
    const QByteArray provisionedText = readAll(besideExe);
    QVERIFY(::chmod(QFile::encodeName(besideExe).constData(), 0444) == 0);
    QVERIFY(::chmod(QFile::encodeName(m_appDir).constData(), 0555) == 0);
    // The user's configuration directory belongs to the user.
    const QString configRoot = m_dir->filePath(QStringLiteral("config"));
    QVERIFY(QDir().mkpath(configRoot));
    QVERIFY(::chmod(QFile::encodeName(configRoot).constData(), 0777) == 0);

    const QString appDir = m_appDir;
    const QString userDir = m_userDir;
    const QString report = runUnprivileged([appDir, userDir] {
        const SettingsStore store(appDir, userDir);
        QStringList facts;
        facts << QStringLiteral("user=%1").arg(store.usesUserDirectory());
        facts << QStringLiteral("path=%1").arg(store.writePath() == userDir + QStringLiteral("/product.ini"));
        facts << QStringLiteral("brand=%1").arg(store.brandIndex());
        facts << QStringLiteral("cn=%1").arg(store.languageCN());
        facts << QStringLiteral("saved=%1").arg(store.setValue(settings_keys::kLanguageCN, false));
        facts << QStringLiteral("cn=%1").arg(store.languageCN());
        facts
            << QStringLiteral("saved=%1").arg(store.setValue(settings_keys::kStyleIndex, QString::number(1)));
        facts << QStringLiteral("style=%1").arg(store.styleIndex());
        facts << QStringLiteral("brand=%1").arg(store.brandIndex());
        return facts.join(QLatin1Char(' '));
    });
    QCOMPARE(report, QStringLiteral("user=1 path=1 brand=1 cn=1 saved=1 cn=0 saved=1 style=1 brand=1"));
    QCOMPARE(readAll(besideExe), provisionedText);
    const QByteArray userText = readAll(m_userDir + QStringLiteral("/product.ini"));
    QVERIFY2(userText.contains("LanguageCN=false") && userText.contains("index=1"), userText.constData());
    QVERIFY(!userText.contains("main=")); // the brand is never written by the program
    QVERIFY(::chmod(QFile::encodeName(m_appDir).constData(), 0755) == 0);
}

void TstSettings::unwritableTargetReportsFailure()
{
    // The user directory cannot be created (a file is in the way): the write reports failure.
    const QString blocker = m_dir->filePath(QStringLiteral("blocker"));
    writeIni(blocker, {});
    const SettingsStore store(blocker, blocker + QStringLiteral("/deckctl"));
    QVERIFY(store.usesUserDirectory());
    QTest::ignoreMessage(QtWarningMsg,
                         qPrintable(QStringLiteral("Error, cannot create dir %1/deckctl").arg(blocker)));
    QVERIFY(!store.setValue(settings_keys::kStyleIndex, 1));
    QCOMPARE(store.styleIndex(), 0);
}

QTEST_APPLESS_MAIN(TstSettings)
#include "tst_settings.moc"
