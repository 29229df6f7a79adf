// The compiled-in resources: every ":/..." path that the sources name is in them, both style
// sheets have the layout the theme code reads (byte-order mark, palette rule with its colour at
// characters 20..26, outline rule), parse without warnings and name only pictures that exist,
// every picture has its double-size edition, and the loading animations play.

#include <QApplication>
#include <QColor>
#include <QComboBox>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QImage>
#include <QListWidget>
#include <QMovie>
#include <QPushButton>
#include <QRegularExpression>
#include <QSlider>
#include <QTextStream>
#include <QToolButton>
#include <QVBoxLayout>
#include <QtTest>

#ifndef DECKCTL_SOURCE_DIR
#error "DECKCTL_SOURCE_DIR must name the source tree"
#endif

namespace {

// Folders whose files may name resources, and the kinds of file that do.
const char* const kSourceFolders[] = {"app", "ui", "workers", "resources", "programs"};
const QStringList kSourcePatterns = {"*.cpp", "*.h", "*.ui", "*.css"};

// A resource path in a source text: ":/" after a quote, a parenthesis, a tag end, a blank or an
// equals sign, then path characters. A path that ends in "/" names a folder (":/qss/light/"); a
// path followed by "%" is the fixed part of a path that the code completes (":/qss/light/%1"):
// for both, the folder must exist.
const QRegularExpression kResourcePath(QStringLiteral("(?:^|[\"'(>\\s=])(:/[A-Za-z0-9_./@-]+)(%?)"));

struct ResourceUse
{
    QString path;
    bool prefix = false;
    QString where;
};

QList<ResourceUse> resourceUses()
{
    QList<ResourceUse> uses;
    const QDir root(QStringLiteral(DECKCTL_SOURCE_DIR));
    for (const char* folder : kSourceFolders) {
        QDirIterator it(root.filePath(QString::fromLatin1(folder)), kSourcePatterns, QDir::Files,
                        QDirIterator::Subdirectories);
        while (it.hasNext()) {
            const QString file = it.next();
            QFile source(file);
            if (!source.open(QIODevice::ReadOnly))
                continue;
            const QStringList lines = QString::fromUtf8(source.readAll()).split(QLatin1Char('\n'));
            for (int i = 0; i < lines.size(); ++i) {
                auto matches = kResourcePath.globalMatch(lines.at(i));
                while (matches.hasNext()) {
                    const auto match = matches.next();
                    ResourceUse use;
                    use.path = match.captured(1);
                    use.prefix = !match.captured(2).isEmpty();
                    use.where = QStringLiteral("%1:%2").arg(root.relativeFilePath(file)).arg(i + 1);
                    uses.append(use);
                }
            }
        }
    }
    return uses;
}

QByteArray readResource(const QString& path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    return file.readAll();
}

// Collects the style-sheet parser's complaints while a sheet is applied.
QStringList g_styleWarnings;
void collectStyleWarnings(QtMsgType type, const QMessageLogContext&, const QString& message)
{
    if (type != QtDebugMsg && type != QtInfoMsg)
        g_styleWarnings.append(message);
}

} // namespace

class TestResources : public QObject
{
    Q_OBJECT

private slots:
    void sourcesNameOnlyCompiledResources();
    void styleSheetLayout_data();
    void styleSheetLayout();
    void styleSheetParsesAndNamesExistingPictures_data();
    void styleSheetParsesAndNamesExistingPictures();
    void picturesHaveDoubleSizeEditions();
    void themePicturesComplete_data();
    void themePicturesComplete();
    void loadingAnimationsPlay_data();
    void loadingAnimationsPlay();
};

void TestResources::sourcesNameOnlyCompiledResources()
{
    const QList<ResourceUse> uses = resourceUses();
    // The theme names dozens of pictures; finding only a handful means the scan went wrong.
    QVERIFY2(uses.size() > 50, qPrintable(QStringLiteral("only %1 resource paths found").arg(uses.size())));
    QStringList missing;
    for (const ResourceUse& use : uses) {
        const bool present = use.prefix || use.path.endsWith(QLatin1Char('/'))
                                 ? QDir(use.path.section(QLatin1Char('/'), 0, -2)).exists()
                                 : QFileInfo(use.path).isFile();
        if (!present)
            missing.append(QStringLiteral("%1 (%2)").arg(use.path, use.where));
    }
    QVERIFY2(missing.isEmpty(),
             qPrintable(QStringLiteral("not compiled in: ") + missing.join(QStringLiteral(", "))));
}

void TestResources::styleSheetLayout_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<QString>("colour");
    QTest::newRow("light") << QStringLiteral(":/qss/light.css") << QStringLiteral("#F5F5F5");
    QTest::newRow("dark") << QStringLiteral(":/qss/dark.css") << QStringLiteral("#1e1e1f");
}

void TestResources::styleSheetLayout()
{
    QFETCH(QString, path);
    QFETCH(QString, colour);
    const QByteArray bytes = readResource(path);
    QVERIFY2(!bytes.isEmpty(), qPrintable(path));
    QVERIFY2(bytes.startsWith("\xEF\xBB\xBF"), "the sheet starts with the UTF-8 byte-order mark");

    const QString firstRules =
        QStringLiteral("QPalette{background:%1;}*{outline:0px;color:#D7E2E9;}").arg(colour);
    // Both ways the theme code may decode the file drop the byte-order mark.
    QTextStream stream(bytes);
    stream.setCodec("UTF-8");
    const QStringList decodings = {QString::fromUtf8(bytes), stream.readAll()};
    for (const QString& text : decodings) {
        QVERIFY2(text.startsWith(firstRules), qPrintable(text.left(80)));
        QCOMPARE(text.mid(20, 7), colour);
        QVERIFY(QColor(text.mid(20, 7)).isValid());
    }
    // Nothing but comments and rules: no stray byte-order mark or control character later on.
    const QString text = QString::fromUtf8(bytes);
    for (const QChar c : text) {
        if (c.unicode() < 0x20 && c != QLatin1Char('\n'))
            QFAIL(qPrintable(QStringLiteral("control character %1 in %2").arg(c.unicode()).arg(path)));
        if (c.unicode() == 0xFEFF)
            QFAIL("a second byte-order mark");
    }
}

void TestResources::styleSheetParsesAndNamesExistingPictures_data()
{
    styleSheetLayout_data();
}

void TestResources::styleSheetParsesAndNamesExistingPictures()
{
    QFETCH(QString, path);
    const QString text = QString::fromUtf8(readResource(path));

    static const QRegularExpression url(QStringLiteral("url\\(\\s*([^)\\s]+)\\s*\\)"));
    auto urls = url.globalMatch(text);
    int count = 0;
    while (urls.hasNext()) {
        const QString picture = urls.next().captured(1);
        QVERIFY2(picture.startsWith(QLatin1String(":/qss/")), qPrintable(picture));
        QVERIFY2(!QImage(picture).isNull(), qPrintable(picture));
        ++count;
    }
    QVERIFY(count > 20);

    // Apply the sheet to a few widgets of the kinds it styles; Qt reports a sheet it cannot parse
    // with a warning when the widgets are polished.
    g_styleWarnings.clear();
    const QtMessageHandler previous = qInstallMessageHandler(collectStyleWarnings);
    {
        QWidget window;
        window.setObjectName(QStringLiteral("MainWindow"));
        auto* layout = new QVBoxLayout(&window);
        auto* combo = new QComboBox(&window);
        combo->addItems({QStringLiteral("Off"), QStringLiteral("Auto Framing")});
        layout->addWidget(combo);
        auto* slider = new QSlider(Qt::Horizontal, &window);
        slider->setObjectName(QStringLiteral("sliderZoom"));
        layout->addWidget(slider);
        auto* mirror = new QPushButton(&window);
        mirror->setObjectName(QStringLiteral("btnMirror"));
        mirror->setCheckable(true);
        layout->addWidget(mirror);
        auto* nav = new QToolButton(&window);
        nav->setObjectName(QStringLiteral("btnNavControl"));
        layout->addWidget(nav);
        auto* list = new QListWidget(&window);
        list->setObjectName(QStringLiteral("listWidgetCamera"));
        layout->addWidget(list);
        window.setStyleSheet(text);
        window.ensurePolished();
        for (QWidget* child : window.findChildren<QWidget*>())
            child->ensurePolished();
        QVERIFY(!nav->icon().isNull()); // the page button's icon comes from the sheet
    }
    qInstallMessageHandler(previous);
    QVERIFY2(g_styleWarnings.isEmpty(), qPrintable(g_styleWarnings.join(QLatin1Char('\n'))));
}

void TestResources::picturesHaveDoubleSizeEditions()
{
    QDirIterator it(QStringLiteral(":/qss"), {QStringLiteral("*.png")}, QDir::Files,
                    QDirIterator::Subdirectories);
    int pairs = 0;
    while (it.hasNext()) {
        const QString path = it.next();
        if (path.endsWith(QLatin1String("@2x.png")))
            continue;
        const QString doubled = path.left(path.size() - 4) + QStringLiteral("@2x.png");
        const QImage normal(path);
        const QImage large(doubled);
        QVERIFY2(!normal.isNull(), qPrintable(path));
        QVERIFY2(!large.isNull(), qPrintable(doubled));
        QCOMPARE(large.size(), normal.size() * 2);
        ++pairs;
    }
    QVERIFY(pairs > 50);
}

// The pictures that the window names by composing a theme folder, a direction and a state.
void TestResources::themePicturesComplete_data()
{
    QTest::addColumn<QStringList>("paths");
    QStringList light = {QStringLiteral(":/qss/light/ld-icon-normal.png"),
                         QStringLiteral(":/qss/light/ld-icon-blue.png")};
    QStringList dark = {QStringLiteral(":/qss/dark/ld-icon-dark.png")};
    for (const char* direction : {"up", "down", "left", "right"}) {
        const QString d = QString::fromLatin1(direction);
        light << QStringLiteral(":/qss/light/icon-arrow-%1.png").arg(d)
              << QStringLiteral(":/qss/light/icon-arrow-%1-disable.png").arg(d);
        dark << QStringLiteral(":/qss/dark/icon-arrow-%1-dark.png").arg(d)
             << QStringLiteral(":/qss/dark/icon-arrow-%1-disable.png").arg(d);
    }
    QTest::newRow("light") << light;
    QTest::newRow("dark") << dark;
    QStringList titleBar;
    for (const char* name : {"icon-normal", "icon-max", "icon-min", "icon-close"})
        titleBar << QStringLiteral(":/qss/light/%1.png").arg(QString::fromLatin1(name))
                 << QStringLiteral(":/qss/light/%1-hover.png").arg(QString::fromLatin1(name));
    titleBar << QStringLiteral(":/qss/light/icon-en.png") << QStringLiteral(":/qss/light/icon-ch.png");
    QTest::newRow("title bar") << titleBar;
    QTest::newRow("preview") << QStringList{
        QStringLiteral(":/qss/light/qb-17-pic.png"), QStringLiteral(":/qss/light/camera_disable.png"),
        QStringLiteral(":/qss/light/camera_disable-hover.png"), QStringLiteral(":/qss/light/icon-stop.png"),
        QStringLiteral(":/qss/light/icon-stop-hover.png")};
}

void TestResources::themePicturesComplete()
{
    QFETCH(QStringList, paths);
    for (const QString& path : paths)
        QVERIFY2(!QImage(path).isNull(), qPrintable(path));
}

void TestResources::loadingAnimationsPlay_data()
{
    QTest::addColumn<QString>("path");
    QTest::newRow("light") << QStringLiteral(":/qss/light/loading.gif");
    QTest::newRow("dark") << QStringLiteral(":/qss/dark/loading.gif");
}

void TestResources::loadingAnimationsPlay()
{
    QFETCH(QString, path);
    QMovie movie(path);
    QVERIFY2(movie.isValid(), qPrintable(path));
    QVERIFY(movie.frameCount() > 1);
    QVERIFY(movie.jumpToFrame(0));
    QVERIFY(!movie.currentImage().isNull());
}

QTEST_MAIN(TestResources)
#include "tst_resources.moc"
