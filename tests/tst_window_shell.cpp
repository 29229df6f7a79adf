// The window shell: message box, overlay, initial size, frameless behaviour, theme, language
// switch and closing.

#include "ui/formcustomizemessagebox.h"
#include "ui/maskwidget.h"

#include <QtTest>

#include <QApplication>
#include <QDialog>
#include <QLabel>
#include <QPushButton>
#include <QTimer>

class TstWindowShell : public QObject
{
    Q_OBJECT
private slots:
    void messageBoxButtonsByMode_data();
    void messageBoxButtonsByMode();
    void messageBoxCountdownAccepts();
    void messageBoxCountdownRunsOnItsTimer();
    void messageBoxCancelRejects();
    void overlayFollowsWatchedDialogs();
};

void TstWindowShell::messageBoxButtonsByMode_data()
{
    QTest::addColumn<int>("mode");
    QTest::addColumn<bool>("autoClose");
    QTest::addColumn<bool>("cancelShown");
    QTest::addColumn<bool>("countdownShown");
    QTest::newRow("mode 0") << 0 << false << false << false;
    QTest::newRow("mode 1") << 1 << false << true << false;
    QTest::newRow("mode 0, countdown") << 0 << true << false << true;
    QTest::newRow("mode 2") << 2 << false << false << false;
}

void TstWindowShell::messageBoxButtonsByMode()
{
    QFETCH(int, mode);
    QFETCH(bool, autoClose);
    QFETCH(bool, cancelShown);
    QFETCH(bool, countdownShown);

    FormCustomizeMessagebox box(QStringLiteral("Some text"), mode, autoClose, nullptr);
    box.show();
    QCOMPARE(box.objectName(), QStringLiteral("FormCustomizeMessagebox"));
    QCOMPARE(box.size(), QSize(450, 194));
    QVERIFY(box.windowFlags() & Qt::FramelessWindowHint);
    QCOMPARE(box.findChild<QLabel*>("labeltext")->text(), QStringLiteral("Some text"));
    QVERIFY(box.findChild<QLabel*>("labeltext")->wordWrap());
    QCOMPARE(box.findChild<QPushButton*>("btnCancel")->isVisible(), cancelShown);
    QVERIFY(box.findChild<QPushButton*>("btnOK")->isVisible());
    QCOMPARE(box.findChild<QLabel*>("labelCountdown")->isVisible(), countdownShown);
    QCOMPARE(box.findChild<QTimer*>() != nullptr, autoClose);
    // Clipped to a rounded outline: the corner pixel is outside, the centre inside.
    QVERIFY(!box.mask().isEmpty());
    QVERIFY(!box.mask().contains(QPoint(0, 0)));
    QVERIFY(box.mask().contains(QPoint(225, 97)));
    box.resize(412, 214);
    QVERIFY(box.mask().contains(QPoint(405, 100)));
    QVERIFY(!box.mask().contains(QPoint(411, 213)));
}

void TstWindowShell::messageBoxCountdownAccepts()
{
    FormCustomizeMessagebox box(QStringLiteral("Done"), 0, true, nullptr);
    box.show();
    auto* label = box.findChild<QLabel*>("labelCountdown");
    const QString pattern = QStringLiteral("The window will close automatically after %1 seconds.");
    QStringList shown{label->text()};
    QSignalSpy accepted(&box, &QDialog::accepted);
    for (int tick = 1; tick <= 6; ++tick) {
        QVERIFY2(accepted.isEmpty(), qPrintable(QStringLiteral("accepted before tick %1").arg(tick)));
        box.slotOnTimeout();
        shown << label->text();
    }
    QCOMPARE(shown, (QStringList{pattern.arg(5), pattern.arg(5), pattern.arg(4), pattern.arg(3),
                                 pattern.arg(2), pattern.arg(1), pattern.arg(0)}));
    QCOMPARE(accepted.count(), 1);
    QCOMPARE(box.result(), int(QDialog::Accepted));
    QVERIFY(!box.isVisible());
}

void TstWindowShell::messageBoxCountdownRunsOnItsTimer()
{
    // The box's own timer drives it: one tick per second; exec() returns accepted after the sixth.
    FormCustomizeMessagebox box(QStringLiteral("Done"), 0, true, nullptr);
    auto* timer = box.findChild<QTimer*>();
    QVERIFY(timer);
    QCOMPARE(timer->interval(), 1000);
    QVERIFY(timer->isActive());
    auto* label = box.findChild<QLabel*>("labelCountdown");
    QStringList shown{label->text()};
    // Each timeout is delivered at once instead of after a second of wall time.
    timer->setInterval(1);
    connect(timer, &QTimer::timeout, this, [&] { shown << label->text(); });
    QElapsedTimer clock;
    clock.start();
    const int result = box.exec();
    QCOMPARE(result, int(QDialog::Accepted));
    QVERIFY2(clock.elapsed() < 5000, "the countdown did not run on its timer");
    const QString pattern = QStringLiteral("The window will close automatically after %1 seconds.");
    QCOMPARE(shown, (QStringList{pattern.arg(5), pattern.arg(5), pattern.arg(4), pattern.arg(3),
                                 pattern.arg(2), pattern.arg(1), pattern.arg(0)}));
}

void TstWindowShell::messageBoxCancelRejects()
{
    FormCustomizeMessagebox box(QStringLiteral("Sure?"), 1, true, nullptr);
    QTimer::singleShot(0, &box, [&] { box.findChild<QPushButton*>("btnCancel")->click(); });
    QCOMPARE(box.exec(), int(QDialog::Rejected));
    QVERIFY(!box.findChild<QTimer*>() || !box.findChild<QTimer*>()->isActive());

    FormCustomizeMessagebox ok(QStringLiteral("Sure?"), 1, true, nullptr);
    QTimer::singleShot(0, &ok, [&] { ok.findChild<QPushButton*>("btnOK")->click(); });
    QCOMPARE(ok.exec(), int(QDialog::Accepted));
}

void TstWindowShell::overlayFollowsWatchedDialogs()
{
    QWidget main;
    main.setObjectName(QStringLiteral("MainWindow"));
    main.setGeometry(120, 90, 1000, 600);
    main.show();

    MaskWidget* overlay = MaskWidget::instance();
    QCOMPARE(MaskWidget::instance(), overlay);
    QCOMPARE(overlay->windowFlags(), Qt::WindowFlags(0x80B));
    QVERIFY(qAbs(overlay->windowOpacity() - 0.7) < 0.01); // stored in 8 bits
    QCOMPARE(overlay->palette().color(QPalette::Inactive, QPalette::Window), QColor(44, 44, 44));
    overlay->setMainWidget(&main);
    overlay->setDialogNames({QStringLiteral("FormUpgrade"), QStringLiteral("FormAbnormal"),
                             QStringLiteral("FormCustomizeMessagebox")});
    QVERIFY(!overlay->isVisible());

    // A dialog of another name does not bring it up.
    QDialog other;
    other.setObjectName(QStringLiteral("SomethingElse"));
    other.show();
    QVERIFY(!overlay->isVisible());
    other.hide();

    QDialog upgrade;
    upgrade.setObjectName(QStringLiteral("FormUpgrade"));
    upgrade.resize(450, 258);
    upgrade.show();
    QVERIFY(overlay->isVisible());
    QCOMPARE(overlay->geometry(), main.geometry());
    upgrade.hide();
    QVERIFY(!overlay->isVisible());

    // Names are compared with case.
    QDialog lower;
    lower.setObjectName(QStringLiteral("formupgrade"));
    lower.show();
    QVERIFY(!overlay->isVisible());
    lower.hide();

    // The message box is watched by its own name, and the overlay follows a moved window.
    main.setGeometry(40, 30, 1100, 700);
    {
        FormCustomizeMessagebox box(QStringLiteral("x"), 0, false, &main);
        box.show();
        QVERIFY(overlay->isVisible());
        QCOMPARE(overlay->geometry(), main.geometry());
    }
    QVERIFY(!overlay->isVisible());
    overlay->setMainWidget(nullptr);
}

QTEST_MAIN(TstWindowShell)
#include "tst_window_shell.moc"
