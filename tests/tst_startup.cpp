#include "app/startup.h"
#include "ui/mainwindow.h"

#include <QtTest>

#include <QApplication>
#include <QFontDatabase>
#include <QFontInfo>
#include <QLabel>
#include <QTemporaryDir>
#include <QTranslator>
#include <QXmlStreamReader>

class TstStartup : public QObject
{
    Q_OBJECT
private slots:
    void restartStartsExactlyOneProcess();
    void otherExitCodesAreReturned_data();
    void otherExitCodesAreReturned();
    void failedRestartIsReported();
    void restartSlotEndsEventLoopWith773();
    void translationCoversEveryText();
    void translationIsFoundBesideOrInstalled();
    void interfaceFontsResolveToInstalledFamilies();

private:
    QString writeMarkerScript(QTemporaryDir& dir);
};

QString TstStartup::writeMarkerScript(QTemporaryDir& dir)
{
    const QString script = dir.filePath(QStringLiteral("fake-deckctl"));
    QFile file(script);
    if (!file.open(QIODevice::WriteOnly))
        return QString();
    // Records each start, with its argument count.
    file.write(
        QStringLiteral("#!/bin/sh\necho \"started $#\" >> '%1'\n").arg(dir.filePath("marker")).toUtf8());
    file.close();
    file.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    return script;
}

void TstStartup::restartStartsExactlyOneProcess()
{
    QTemporaryDir dir;
    const QString script = writeMarkerScript(dir);
    QVERIFY(!script.isEmpty());
    QCOMPARE(concludeEventLoop(RestartExitCode, script, startDetachedProcess), 0);
    QFile marker(dir.filePath("marker"));
    QTRY_VERIFY_WITH_TIMEOUT(marker.exists() && marker.size() > 0, 10000);
    QTest::qWait(300); // a second start would have written by now
    QVERIFY(marker.open(QIODevice::ReadOnly));
    QCOMPARE(marker.readAll(), QByteArray("started 0\n"));
}

void TstStartup::otherExitCodesAreReturned_data()
{
    QTest::addColumn<int>("code");
    QTest::newRow("normal") << 0;
    QTest::newRow("error") << 1;
    QTest::newRow("one below") << 772;
    QTest::newRow("one above") << 774;
}

void TstStartup::otherExitCodesAreReturned()
{
    QFETCH(int, code);
    int launches = 0;
    QCOMPARE(concludeEventLoop(code, QStringLiteral("/bin/true"),
                               [&launches](const QString&) { return ++launches > 0; }),
             code);
    QCOMPARE(launches, 0);
}

void TstStartup::failedRestartIsReported()
{
    QTest::ignoreMessage(QtCriticalMsg, "Restart failed, cannot start /nonexistent/deckctl");
    QCOMPARE(concludeEventLoop(RestartExitCode, QStringLiteral("/nonexistent/deckctl"), startDetachedProcess),
             1);
}

void TstStartup::restartSlotEndsEventLoopWith773()
{
    MainWindow window;
    QCOMPARE(window.windowTitle(), QStringLiteral("Lumadeck"));
    window.show();
    QTimer::singleShot(0, &window, &MainWindow::slotRestartApp);
    QCOMPARE(QApplication::exec(), RestartExitCode);
}

void TstStartup::translationCoversEveryText()
{
    // Every source text of the translation file has a finished, non-empty Chinese translation. A
    // carriage return in a text is stored as a <byte> element inside it.
    QFile ts(QStringLiteral(DECKCTL_SOURCE_DIR "/translations/zh_tr.ts"));
    QVERIFY(ts.open(QIODevice::ReadOnly));
    QXmlStreamReader xml(&ts);
    int messages = 0;
    QString source;
    while (!xml.atEnd()) {
        xml.readNext();
        if (!xml.isStartElement())
            continue;
        if (xml.name() == QLatin1String("source")) {
            source = xml.readElementText(QXmlStreamReader::IncludeChildElements);
        } else if (xml.name() == QLatin1String("translation")) {
            const bool unfinished = xml.attributes().hasAttribute(QStringLiteral("type"));
            const QString text = xml.readElementText(QXmlStreamReader::IncludeChildElements);
            QVERIFY2(!unfinished && !text.isEmpty(), qPrintable(source));
            ++messages;
        }
    }
    QVERIFY(!xml.hasError());
    QVERIFY(messages > 0);

    QTranslator translator;
    QVERIFY(translator.load(kTranslationFileName, QStringLiteral(DECKCTL_BIN_DIR)));
    QVERIFY(QApplication::installTranslator(&translator));
    {
        MainWindow window;
        auto* label = window.findChild<QLabel*>(QStringLiteral("labelMyDevices"));
        QVERIFY(label);
        QCOMPARE(label->text(), QStringLiteral("我的设备"));
    }
    QApplication::removeTranslator(&translator);
}

void TstStartup::translationIsFoundBesideOrInstalled()
{
    const QString before = QDir::currentPath();
    QTemporaryDir elsewhere;
    QTranslator translator;

    QDir::setCurrent(QStringLiteral(DECKCTL_BIN_DIR));
    QVERIFY(loadTranslation(translator, QString()));

    QDir::setCurrent(elsewhere.path());
    QVERIFY(loadTranslation(translator, QStringLiteral(DECKCTL_BIN_DIR)));
    QVERIFY(!loadTranslation(translator, elsewhere.path()));
    QDir::setCurrent(before);
}

void TstStartup::interfaceFontsResolveToInstalledFamilies()
{
    registerFontSubstitutions();
    const QStringList installed = QFontDatabase().families();

    const QFontInfo chinese(QFont(applicationFontFamily(true), kApplicationFontPointSize));
    QVERIFY2(installed.contains(chinese.family()), qPrintable(chinese.family()));
    QVERIFY2(QFontDatabase().writingSystems(chinese.family()).contains(QFontDatabase::SimplifiedChinese),
             qPrintable(chinese.family()));

    const QFontInfo latin(QFont(applicationFontFamily(false), kApplicationFontPointSize));
    QVERIFY2(QFont::substitutes(QStringLiteral("Segoe UI")).contains(latin.family(), Qt::CaseInsensitive),
             qPrintable(latin.family()));
    QCOMPARE(latin.pointSize(), kApplicationFontPointSize);
}

QTEST_MAIN(TstStartup)
#include "tst_startup.moc"
