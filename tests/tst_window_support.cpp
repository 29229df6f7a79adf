// The Support page on virtual cameras: versions, expandable sections, the audio-version pop-up,
// the link texts, and the window's dialogs (upgrade consent, recovery, pop-up painting, overlay).

#include "tests/support/windowfixture.h"
#include "ui/dialogshape.h"
#include "ui/formabnormal.h"
#include "ui/formcustomizemessagebox.h"
#include "ui/formprompt.h"
#include "ui/formupgrade.h"
#include "ui/mainwindow.h"
#include "ui/maskwidget.h"

#include <QtTest>

#include <QAbstractButton>
#include <QApplication>
#include <QCursor>
#include <QHoverEvent>
#include <QLabel>
#include <QLayout>
#include <QPainter>
#include <QPushButton>
#include <QScrollBar>
#include <QTextEdit>
#include <QTimer>
#include <QUrl>

namespace {

const QByteArray kNoCamera = R"({"cameras": []})";
const QByteArray kOneCamera = R"({"cameras": [{"model": 7, "name": "PX QB18"}]})";
// The README of the source tree, which an uninstalled build's links open.
const QString kDocsUrl = QUrl::fromLocalFile(QStringLiteral(DECKCTL_README_SOURCE)).toString();
const QString kDownloadsUrl = kDocsUrl + QStringLiteral("#upgrading-a-camera");
const QString kSupportUrl = QStringLiteral("https://www.lumadeck.com/support");
const QString kStyle = QStringLiteral("<style> a {text-decoration: none} </style>");

// The three link texts as a style change (hovered: as the hover) shows them.
QStringList linkTexts(const QString& colour, const QString& docs, const QString& downloads,
                      const QString& support, bool hoverDownloads = false)
{
    return {kStyle + QStringLiteral("<a style='color: %2;' href=\"%1\" target=_blank>Documentation</a>")
                         .arg(docs, colour),
            hoverDownloads
                ? kStyle + QStringLiteral("<a style='color: %2;' href=\"%1\" target=_blank>Application and "
                                          "Firmware</a>")
                               .arg(downloads, colour)
                : kStyle + QStringLiteral("<a style='color: %2;' href=\"%1/\">Application and Firmware")
                               .arg(downloads, colour),
            kStyle +
                QStringLiteral("<a style='color: %2;' href=\"%1/\">Contact Support").arg(support, colour)};
}

// Runs action on the next modal dialog that opens.
void onNextModal(std::function<void(QDialog*)> action)
{
    auto* poll = new QTimer;
    QObject::connect(poll, &QTimer::timeout, [=] {
        auto* dialog = qobject_cast<QDialog*>(QApplication::activeModalWidget());
        if (!dialog)
            return;
        poll->stop();
        poll->deleteLater();
        action(dialog);
    });
    poll->start(10);
}

bool near(const QColor& a, const QColor& b)
{
    return qAbs(a.red() - b.red()) <= 2 && qAbs(a.green() - b.green()) <= 2 &&
           qAbs(a.blue() - b.blue()) <= 2 && qAbs(a.alpha() - b.alpha()) <= 2;
}

} // namespace

class TstWindowSupport : public QObject
{
    Q_OBJECT
private slots:
    void sectionsToggle_data();
    void sectionsToggle();
    void versionsAfterOpening();
    void audioPromptShownAndDismissed_data();
    void audioPromptShownAndDismissed();
    void linkTextsByStyleAndHover();
    void linksFromSettings();
    void promptPainting_data();
    void promptPainting();
    void upgradeDialog();
    void abnormalDialog();
    void dialogTextsFit_data();
    void dialogTextsFit();
    void overlayOverDialogs();
    void overlayPaintsTheWindowAsLaidOut();

private:
    template <class T> static T* child(QWidget* window, const char* name)
    {
        T* found = window->findChild<T*>(QLatin1String(name));
        if (!found)
            qFatal("no widget %s", name);
        return found;
    }
};

void TstWindowSupport::sectionsToggle_data()
{
    QTest::addColumn<QString>("header");
    QTest::addColumn<QString>("button");
    QTest::addColumn<QString>("content");
    QTest::newRow("about") << "labelDevInfo"
                           << "btnDevInfoExtend"
                           << "widgetDevInfo";
    QTest::newRow("restore") << "labelDevUpdate"
                             << "btnDevUpdateExtend"
                             << "widgetDevUpdate";
    QTest::newRow("support") << "labelDevSupport"
                             << "btnDevSupportExtend"
                             << "widgetDevSupport";
}

void TstWindowSupport::sectionsToggle()
{
    QFETCH(QString, header);
    QFETCH(QString, button);
    QFETCH(QString, content);
    WindowFixture f(kNoCamera);
    QVERIFY2(f.isValid(), qPrintable(f.errorString()));
    MainWindow* window = f.createWindow();
    window->findChild<QAbstractButton*>(QStringLiteral("btnNavSupport"))->click();
    auto* label = window->findChild<QLabel*>(header);
    auto* expand = window->findChild<QAbstractButton*>(button);
    auto* widget = window->findChild<QWidget*>(content);
    QVERIFY(label && expand && widget);
    QVERIFY(!widget->isHidden()); // expanded at start

    expand->click();
    QVERIFY(widget->isHidden());
    expand->click();
    QVERIFY(!widget->isHidden());

    // The header label: a left-button press toggles, another button does not.
    QTest::mousePress(label, Qt::RightButton);
    QTest::mouseRelease(label, Qt::RightButton);
    QVERIFY(!widget->isHidden());
    QTest::mousePress(label, Qt::LeftButton);
    QTest::mouseRelease(label, Qt::LeftButton);
    QVERIFY(widget->isHidden());
    QTest::mousePress(label, Qt::LeftButton);
    QTest::mouseRelease(label, Qt::LeftButton);
    QVERIFY(!widget->isHidden());

    // The other sections stay as they are.
    for (const char* other : {"widgetDevInfo", "widgetDevUpdate", "widgetDevSupport"})
        QVERIFY(!child<QWidget>(window, other)->isHidden());
}

void TstWindowSupport::versionsAfterOpening()
{
    {
        WindowFixture f(kNoCamera);
        QVERIFY2(f.isValid(), qPrintable(f.errorString()));
        MainWindow* window = f.createWindow();
        QCOMPARE(child<QLabel>(window, "labelAppVer")->text(), QStringLiteral("V1.3.4"));
        QVERIFY(child<QWidget>(window, "btnAudioVersionPrompt")->isHidden());
        QVERIFY(child<QLabel>(window, "labelDevVer")->text().isEmpty());
    }
    WindowFixture f(kOneCamera);
    QVERIFY2(f.isValid(), qPrintable(f.errorString()));
    MainWindow* window = f.createWindow();
    QCOMPARE(child<QLabel>(window, "labelAppVer")->text(), QStringLiteral("V1.3.4"));
    QCOMPARE(child<QLabel>(window, "labelDevVer")->text(), QStringLiteral("V1.2.10"));
    QCOMPARE(child<QLabel>(window, "labelDevModel")->text(), QStringLiteral("PX QB18"));
    QCOMPARE(child<QLabel>(window, "label_xmosVer")->text(), QStringLiteral("V1.0.3"));
    QVERIFY(!child<QWidget>(window, "btnAudioVersionPrompt")->isHidden());
}

void TstWindowSupport::audioPromptShownAndDismissed_data()
{
    QTest::addColumn<QString>("dismissal");
    QTest::newRow("page switch") << "page";
    QTest::newRow("resize") << "resize";
    QTest::newRow("disconnect") << "disconnect";
}

void TstWindowSupport::audioPromptShownAndDismissed()
{
    QFETCH(QString, dismissal);
    WindowFixture f(kOneCamera);
    QVERIFY2(f.isValid(), qPrintable(f.errorString()));
    MainWindow* window = f.createWindow();
    window->stopQueryWorker();
    child<QAbstractButton>(window, "btnNavSupport")->click();
    QVERIFY(window->findChildren<FormPrompt*>().isEmpty());

    QCursor::setPos(window->mapToGlobal(QPoint(300, 200)));
    child<QAbstractButton>(window, "btnAudioVersionPrompt")->click();
    const QList<FormPrompt*> prompts = window->findChildren<FormPrompt*>();
    QCOMPARE(prompts.size(), 1);
    QPointer<FormPrompt> prompt = prompts.first();
    QCOMPARE(prompt->parentWidget(), window);
    QVERIFY(!prompt->isWindow());
    QVERIFY(prompt->isVisible());
    QCOMPARE(prompt->size(), QSize(239, 80));
    QCOMPARE(prompt->minimumSize(), QSize(239, 80));
    QCOMPARE(prompt->maximumSize(), QSize(239, 80));
    QCOMPARE(prompt->text(), QStringLiteral("Audio Version:V1.0.3"));
    QCOMPARE(prompt->backgroundColor(), QColor(255, 255, 255));
    const QPoint cursor = window->mapFromGlobal(QCursor::pos());
    QCOMPARE(prompt->pos(), cursor + QPoint(5, -30));

    // A second click moves the same pop-up to the cursor.
    QCursor::setPos(window->mapToGlobal(QPoint(420, 260)));
    child<QAbstractButton>(window, "btnAudioVersionPrompt")->click();
    QCOMPARE(window->findChildren<FormPrompt*>().size(), 1);
    QCOMPARE(prompt->pos(), window->mapFromGlobal(QCursor::pos()) + QPoint(5, -30));

    if (dismissal == QLatin1String("page")) {
        child<QAbstractButton>(window, "btnNavControl")->click();
    } else if (dismissal == QLatin1String("resize")) {
        window->resize(window->size() + QSize(20, 10));
        QCoreApplication::processEvents();
    } else {
        f.unplug(0);
        QTRY_VERIFY(child<QLabel>(window, "labelDevVer")->text().isEmpty());
    }
    QTRY_VERIFY(prompt.isNull());

    // The dark style: the pop-up is dark grey.
    if (dismissal == QLatin1String("page")) {
        child<QAbstractButton>(window, "btnNavSupport")->click();
        window->on_btnModeLight_clicked();
        child<QAbstractButton>(window, "btnAudioVersionPrompt")->click();
        QCOMPARE(window->findChildren<FormPrompt*>().size(), 1);
        QCOMPARE(window->findChildren<FormPrompt*>().first()->backgroundColor(), QColor(74, 74, 74));
        window->on_btnModeLight_clicked(); // the theme toggle dismisses it too
        QTRY_VERIFY(window->findChildren<FormPrompt*>().isEmpty());
    }
}

void TstWindowSupport::linkTextsByStyleAndHover()
{
    WindowFixture f(kNoCamera);
    QVERIFY2(f.isValid(), qPrintable(f.errorString()));
    MainWindow* window = f.createWindow();
    QLabel* labels[] = {child<QLabel>(window, "labelHyperlinksQuickStartGuide"),
                        child<QLabel>(window, "labelHyperlinksUserGuide"),
                        child<QLabel>(window, "labelHyperlinksContactSupport")};
    auto texts = [&] { return QStringList{labels[0]->text(), labels[1]->text(), labels[2]->text()}; };
    for (QLabel* label : labels)
        QVERIFY(label->openExternalLinks());
    QVERIFY(labels[0]->isHidden() && labels[1]->isHidden() && !labels[2]->isHidden());

    QCOMPARE(texts(), linkTexts(QStringLiteral("#000000"), kDocsUrl, kDownloadsUrl, kSupportUrl));

    // Hover: enter and move show the hover colour, leave the style's.
    for (int link = 0; link < 3; ++link) {
        QHoverEvent enter(QEvent::HoverEnter, QPointF(3, 3), QPointF(-1, -1));
        QApplication::sendEvent(labels[link], &enter);
        QCOMPARE(labels[link]->text(),
                 linkTexts(QStringLiteral("#61c4ff"), kDocsUrl, kDownloadsUrl, kSupportUrl, true)[link]);
        QHoverEvent leave(QEvent::HoverLeave, QPointF(-1, -1), QPointF(3, 3));
        QApplication::sendEvent(labels[link], &leave);
        QCOMPARE(labels[link]->text(),
                 linkTexts(QStringLiteral("#000000"), kDocsUrl, kDownloadsUrl, kSupportUrl)[link]);
        QHoverEvent move(QEvent::HoverMove, QPointF(4, 3), QPointF(3, 3));
        QApplication::sendEvent(labels[link], &move);
        QCOMPARE(labels[link]->text(),
                 linkTexts(QStringLiteral("#61c4ff"), kDocsUrl, kDownloadsUrl, kSupportUrl, true)[link]);
        QApplication::sendEvent(labels[link], &leave);
    }

    // The dark style, and the hover leave that goes back to it.
    window->on_btnModeLight_clicked();
    QCOMPARE(texts(), linkTexts(QStringLiteral("#F2F2F2"), kDocsUrl, kDownloadsUrl, kSupportUrl));
    QHoverEvent enter(QEvent::HoverEnter, QPointF(3, 3), QPointF(-1, -1));
    QApplication::sendEvent(labels[2], &enter);
    QHoverEvent leave(QEvent::HoverLeave, QPointF(-1, -1), QPointF(3, 3));
    QApplication::sendEvent(labels[2], &leave);
    QCOMPARE(labels[2]->text(),
             linkTexts(QStringLiteral("#F2F2F2"), kDocsUrl, kDownloadsUrl, kSupportUrl)[2]);
    window->on_btnModeLight_clicked();
    QCOMPARE(texts(), linkTexts(QStringLiteral("#000000"), kDocsUrl, kDownloadsUrl, kSupportUrl));
}

void TstWindowSupport::linksFromSettings()
{
    const QString support = QStringLiteral("https://help.example.org");
    WindowFixture f(
        kNoCamera, {{QStringLiteral("/product_model/main"), 0},
                    {QStringLiteral("/links/documentation"), QStringLiteral("file:///nonexistent/help.html")},
                    {QStringLiteral("/links/downloads"), QStringLiteral("https:///")},
                    {QStringLiteral("/links/support"), support}});
    QVERIFY2(f.isValid(), qPrintable(f.errorString()));
    MainWindow* window = f.createWindow();
    auto* docs = child<QLabel>(window, "labelHyperlinksQuickStartGuide");
    auto* downloads = child<QLabel>(window, "labelHyperlinksUserGuide");
    auto* supportLabel = child<QLabel>(window, "labelHyperlinksContactSupport");
    QCOMPARE(supportLabel->text(), linkTexts(QStringLiteral("#000000"), QString(), QString(), support)[2]);
    // A target without a host, or a missing local file, is no link: the name alone, in every
    // style and on hover.
    for (QLabel* label : {docs, downloads}) {
        const QString name =
            label == docs ? QStringLiteral("Documentation") : QStringLiteral("Application and Firmware");
        QCOMPARE(label->text(), name);
        QHoverEvent enter(QEvent::HoverEnter, QPointF(3, 3), QPointF(-1, -1));
        QApplication::sendEvent(label, &enter);
        QCOMPARE(label->text(), name);
        window->on_btnModeLight_clicked();
        QCOMPARE(label->text(), name);
    }
}

void TstWindowSupport::promptPainting_data()
{
    QTest::addColumn<QColor>("colour");
    QTest::newRow("default grey") << QColor();
    QTest::newRow("dark") << QColor(74, 74, 74);
}

void TstWindowSupport::promptPainting()
{
    QFETCH(QColor, colour);
    FormPrompt prompt;
    QCOMPARE(prompt.objectName(), QStringLiteral("FormPrompt"));
    QCOMPARE(prompt.size(), QSize(239, 80));
    QCOMPARE(prompt.contentsMargins(), QMargins(0, 0, 0, 0));
    QCOMPARE(prompt.layout()->contentsMargins(), QMargins(20, 20, 20, 20));
    QVERIFY(prompt.windowFlags() & Qt::FramelessWindowHint);
    QVERIFY(prompt.windowFlags() & Qt::WindowStaysOnTopHint);
    QCOMPARE(prompt.backgroundColor(), QColor(220, 220, 220));
    auto* edit = prompt.findChild<QTextEdit*>(QStringLiteral("textEditContent"));
    QVERIFY(edit);
    QCOMPARE(edit->parentWidget()->objectName(), QStringLiteral("widget"));
    QVERIFY(edit->isReadOnly());
    QCOMPARE(edit->contextMenuPolicy(), Qt::NoContextMenu);
    QVERIFY(edit->maximumHeight() <= 80);
    prompt.setText(QStringLiteral("Audio Version:V1.0.3"));
    QCOMPARE(prompt.text(), QStringLiteral("Audio Version:V1.0.3"));
    if (colour.isValid())
        prompt.setBackgroundColor(colour);
    const QColor fill = colour.isValid() ? colour : QColor(220, 220, 220);

    QImage image(prompt.size(), QImage::Format_ARGB32);
    image.fill(Qt::transparent);
    prompt.render(&image, QPoint(), QRegion(), QWidget::DrawChildren);
    const QColor none(0, 0, 0, 0);
    // The box, between the widget's edge and the text.
    QVERIFY(near(image.pixelColor(15, 50), fill));
    QVERIFY(near(image.pixelColor(120, 14), fill));
    QVERIFY(near(image.pixelColor(226, 68), fill));
    // Outside the box.
    QVERIFY(near(image.pixelColor(120, 5), none));
    QVERIFY(near(image.pixelColor(234, 40), none));
    QVERIFY2(near(image.pixelColor(120, 74), none),
             qPrintable(image.pixelColor(120, 74).name(QColor::HexArgb)));
    QVERIFY(near(image.pixelColor(10, 10), none) || image.pixelColor(10, 10).alpha() < 128); // rounded corner
    // The arrow on the left at 0.4 of the height (y 32), tip at x 5.
    QVERIFY(near(image.pixelColor(7, 32), fill));
    QVERIFY(near(image.pixelColor(3, 32), none));
    QVERIFY(near(image.pixelColor(7, 60), none));
    QVERIFY(near(image.pixelColor(7, 20), none));
}

void TstWindowSupport::upgradeDialog()
{
    WindowFixture f(kNoCamera);
    QVERIFY2(f.isValid(), qPrintable(f.errorString()));
    MainWindow* window = f.createWindow(QSize(1200, 760));

    for (int button = 0; button < 3; ++button) {
        FormUpgrade dialog;
        QCOMPARE(dialog.objectName(), QStringLiteral("FormUpgrade"));
        QVERIFY(dialog.windowFlags() & Qt::FramelessWindowHint);
        QCOMPARE(dialog.size(), QSize(450, 258));
        auto* edit = child<QTextEdit>(&dialog, "textEditPrompt");
        QVERIFY(edit->isReadOnly());
        QCOMPARE(edit->contextMenuPolicy(), Qt::NoContextMenu);
        QCOMPARE(edit->maximumHeight(), 180);
        QCOMPARE(child<QPushButton>(&dialog, "btnOK")->size(), QSize(80, 30));
        QCOMPARE(child<QPushButton>(&dialog, "btnCancel")->size(), QSize(80, 30));
        QCOMPARE(child<QPushButton>(&dialog, "btnOK")->text(), QStringLiteral("OK"));
        QCOMPARE(child<QPushButton>(&dialog, "btnCancel")->text(), QStringLiteral("Cancel"));
        dialog.setPrompt(QStringLiteral("<h3>Get Ready</h3>"));
        QCOMPARE(edit->toPlainText(), QStringLiteral("Get Ready"));

        centreOver(&dialog, window);
        QCOMPARE(dialog.pos(),
                 window->pos() + QPoint((window->width() - 450) / 2, (window->height() - 258) / 2));
        QPoint corner;
        onNextModal([&](QDialog* shown) {
            // Clipped to the rounded outline at its size.
            QVERIFY(!shown->mask().isEmpty());
            corner = shown->mask().contains(QPoint(0, 0)) ? QPoint(1, 1) : QPoint();
            QVERIFY(shown->mask().contains(QPoint(225, 129)));
            QVERIFY(!shown->mask().contains(QPoint(449, 257)));
            if (button == 0)
                child<QPushButton>(shown, "btnOK")->click();
            else if (button == 1)
                child<QPushButton>(shown, "btnCancel")->click();
            else
                shown->close();
        });
        const int result = dialog.exec();
        QCOMPARE(corner, QPoint());
        QCOMPARE(result, button == 0 ? 1 : 0);
    }
}

void TstWindowSupport::abnormalDialog()
{
    FormAbnormal dialog;
    QCOMPARE(dialog.objectName(), QStringLiteral("FormAbnormal"));
    QCOMPARE(dialog.windowTitle(), QStringLiteral("Upgrade prompt"));
    QVERIFY(dialog.windowFlags() & Qt::FramelessWindowHint);
    QCOMPARE(dialog.size(), QSize(450, 230));
    QCOMPARE(dialog.layout()->contentsMargins().left(), 22);
    QCOMPARE(dialog.layout()->contentsMargins().right(), 22);
    auto* label = child<QLabel>(&dialog, "labelPrompt");
    QVERIFY(label->openExternalLinks());
    QCOMPARE(child<QPushButton>(&dialog, "btnUpgrade")->size(), QSize(80, 30));
    QCOMPARE(child<QPushButton>(&dialog, "btnCancel")->size(), QSize(80, 30));
    QCOMPARE(child<QPushButton>(&dialog, "btnUpgrade")->text(), QStringLiteral("Upgrade"));

    // Upgrade: cancelled choice and a failed check leave it open, a passed check accepts.
    QStringList chosen;
    QString nextFile;
    bool passes = false;
    QWidget* chooserParent = nullptr;
    dialog.chooseFile = [&](QWidget* parent) {
        chooserParent = parent;
        return nextFile;
    };
    dialog.checkPackage = [&](const QString& file) {
        chosen << file;
        return passes;
    };
    onNextModal([&](QDialog* shown) {
        auto* upgrade = child<QPushButton>(shown, "btnUpgrade");
        upgrade->click(); // cancelled
        QVERIFY(shown->isVisible());
        nextFile = QStringLiteral("/tmp/bad.zip");
        upgrade->click(); // fails the check
        QVERIFY(shown->isVisible());
        nextFile = QStringLiteral("/tmp/good.zip");
        passes = true;
        upgrade->click();
    });
    QCOMPARE(dialog.exec(), int(QDialog::Accepted));
    QCOMPARE(chooserParent, &dialog);
    QCOMPARE(chosen, (QStringList{QStringLiteral("/tmp/bad.zip"), QStringLiteral("/tmp/good.zip")}));

    onNextModal([&](QDialog* shown) { child<QPushButton>(shown, "btnCancel")->click(); });
    QCOMPARE(dialog.exec(), int(QDialog::Rejected));

    // Without a chooser the button does nothing.
    FormAbnormal bare;
    onNextModal([&](QDialog* shown) {
        child<QPushButton>(shown, "btnUpgrade")->click();
        QVERIFY(shown->isVisible());
        QVERIFY(!shown->mask().contains(QPoint(0, 0)));
        QVERIFY(shown->mask().contains(QPoint(225, 115)));
        shown->close();
    });
    QCOMPARE(bare.exec(), int(QDialog::Rejected));
}

// The window's long texts in their dialogs of fixed size, with the window's style sheet: each fits
// the height it has (nothing cut off at the bottom, no scrolling), shrunk no further than the
// dialogs' smallest text size; a text that fits at the application's font keeps it.
void TstWindowSupport::dialogTextsFit_data()
{
    QTest::addColumn<QString>("dialog");
    QTest::addColumn<QString>("text");
    QTest::addColumn<QSize>("size");
    QTest::addColumn<bool>("countdown");
    QTest::addColumn<bool>("keepsFont");
    const QSize box(450, 194);
    QTest::newRow("restore confirmation")
        << "FormCustomizeMessagebox"
        << "<h3>Restore Factory Defaults</h3>\r\nAre you sure you want to reset your device to factory "
           "settings? The current settings will be completely removed, and your device may take several "
           "seconds to reboot. Please keep your device connected during the whole resetting process."
        << QSize(412, 214) << false << false;
    QTest::newRow("refused package with its reason")
        << "FormCustomizeMessagebox"
        << "<h3>Unable to upgrade. </h3>\r\n The format of firmware file is not correct.<br>The package "
           "contains a path outside its folder."
        << box << false << false;
    QTest::newRow("upgrade done with countdown")
        << "FormCustomizeMessagebox"
        << "<h3> Upgrade is done! </h3>\r\n The device is initializing, don't power off." << box << true
        << true;
    QTest::newRow("notice") << "FormCustomizeMessagebox"
                            << "The operation has timed out, please try again." << box << false << true;
    QTest::newRow("upgrade consent")
        << "FormUpgrade"
        << "<h3>Get Ready to Upgrade.</h3>Make sure your device is not being used by another application "
           "before upgrading.<br><br>This process may take several minutes. <br><br><b>Do not disconnect "
           "your device</b> during the upgrade process."
        << QSize(450, 258) << false << false;
    QTest::newRow("recovery")
        << "FormAbnormal"
        << "<h3>Unknown Exception Detected</h3>\r\nUpgrade was interrupted by an unknown exception, please "
           "try again.<br><br><b>The audio module will not be upgraded</b> if the status is abnormal.<p>For "
           "the latest application and firmware, <a style='color:#42a5f5;' href=\"https:///\">please click "
           "here.</p>"
        << QSize(450, 230) << false << false;
}

void TstWindowSupport::dialogTextsFit()
{
    QFETCH(QString, dialog);
    QFETCH(QString, text);
    QFETCH(QSize, size);
    QFETCH(bool, countdown);
    QFETCH(bool, keepsFont);
    // The window applies its style sheet.
    WindowFixture f(kNoCamera);
    QVERIFY2(f.isValid(), qPrintable(f.errorString()));
    f.createWindow(QSize(1200, 760));

    std::unique_ptr<QDialog> shown;
    QWidget* textWidget = nullptr;
    if (dialog == QLatin1String("FormCustomizeMessagebox")) {
        shown = std::make_unique<FormCustomizeMessagebox>(text, 0, countdown);
        shown->setFixedSize(size);
        textWidget = child<QLabel>(shown.get(), "labeltext");
    } else if (dialog == QLatin1String("FormUpgrade")) {
        auto* upgrade = new FormUpgrade;
        upgrade->setPrompt(text);
        shown.reset(upgrade);
        textWidget = child<QTextEdit>(upgrade, "textEditPrompt");
    } else {
        auto* abnormal = new FormAbnormal;
        abnormal->setPrompt(text);
        shown.reset(abnormal);
        textWidget = child<QLabel>(abnormal, "labelPrompt");
    }
    shown->show();
    QVERIFY(QTest::qWaitForWindowExposed(shown.get()));
    QCOMPARE(shown->size(), size);

    int needed = 0;
    int given = 0;
    if (auto* label = qobject_cast<QLabel*>(textWidget)) {
        needed = label->heightForWidth(label->width());
        given = label->height();
    } else {
        auto* edit = qobject_cast<QTextEdit*>(textWidget);
        needed = qCeil(edit->document()->size().height());
        given = edit->viewport()->height();
        QVERIFY(!edit->verticalScrollBar()->isVisible());
    }
    QVERIFY2(needed <= given,
             qPrintable(QStringLiteral("%1 pixels needed, %2 given").arg(needed).arg(given)));
    const int pixels = QFontInfo(textWidget->font()).pixelSize();
    QVERIFY2(pixels >= kDialogTextMinPixelSize, qPrintable(QString::number(pixels)));
    if (keepsFont)
        QCOMPARE(pixels, QFontInfo(shown->font()).pixelSize());
}

void TstWindowSupport::overlayOverDialogs()
{
    WindowFixture f(kNoCamera);
    QVERIFY2(f.isValid(), qPrintable(f.errorString()));
    MainWindow* window = f.createWindow(QSize(1200, 760));
    MaskWidget* overlay = MaskWidget::instance();
    QVERIFY(!overlay->isVisible());
    bool covered[2] = {false, false};
    {
        FormUpgrade upgrade;
        centreOver(&upgrade, window);
        onNextModal([&](QDialog* shown) {
            covered[0] = overlay->isVisible() && overlay->geometry() == window->geometry();
            shown->close();
        });
        upgrade.exec();
    }
    QVERIFY(!overlay->isVisible());
    {
        FormAbnormal abnormal;
        centreOver(&abnormal, window);
        onNextModal([&](QDialog* shown) {
            covered[1] = overlay->isVisible() && overlay->geometry() == window->geometry();
            shown->close();
        });
        abnormal.exec();
    }
    QVERIFY(!overlay->isVisible());
    QVERIFY(covered[0]);
    QVERIFY(covered[1]);
}

// Where the window system does not blend windows, the overlay paints a picture of the window,
// dimmed. It is the window as laid out when the dialog opens, also when a widget was hidden just
// before: the preparation's busy bar is hidden right before the upgrade consent opens, and a
// picture taken before the layout follows keeps an empty gap where the bar was.
void TstWindowSupport::overlayPaintsTheWindowAsLaidOut()
{
    MaskWidget::setCompositingSource([] { return false; });
    WindowFixture f(kNoCamera);
    QVERIFY2(f.isValid(), qPrintable(f.errorString()));
    MainWindow* window = f.createWindow(QSize(1200, 760));
    child<QAbstractButton>(window, "btnNavSupport")->click();
    auto* bar = child<QWidget>(window, "progressBarUpdate");
    bar->show();
    QTRY_VERIFY(bar->isVisible() && bar->height() > 0);
    QTest::qWait(50);
    bar->hide();

    MaskWidget* overlay = MaskWidget::instance();
    QImage painted;
    {
        FormUpgrade upgrade;
        centreOver(&upgrade, window);
        onNextModal([&](QDialog* shown) {
            painted = overlay->grab().toImage().convertToFormat(QImage::Format_RGB32);
            shown->close();
        });
        upgrade.exec();
    }
    MaskWidget::setCompositingSource(nullptr);
    QVERIFY(!painted.isNull());

    // The page as laid out now, dimmed as the overlay dims it.
    QPixmap expected = window->grab();
    {
        QPainter painter(&expected);
        QColor dim(44, 44, 44);
        dim.setAlphaF(0.7);
        painter.fillRect(expected.rect(), dim);
    }
    const auto* page = child<QWidget>(window, "scrollAreaSupport");
    const QRect area(page->mapTo(window, QPoint(0, 0)), page->size());
    QCOMPARE(painted.size(), expected.size());
    QCOMPARE(painted.copy(area), expected.toImage().convertToFormat(QImage::Format_RGB32).copy(area));
}

QTEST_MAIN(TstWindowSupport)
#include "tst_window_support.moc"
