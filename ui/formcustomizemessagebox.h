#pragma once

// The window's message box: a frameless dialog with a text, OK and (in mode 1) Cancel, and an
// optional 5-second countdown after which it closes itself as accepted.

#include <QDialog>
#include <QString>

namespace Ui {
class FormCustomizeMessagebox;
}
class QTimer;

class FormCustomizeMessagebox : public QDialog
{
    Q_OBJECT
public:
    // mode 1: OK and Cancel; any other mode: OK only. autoClose: count down from 5 seconds and
    // accept when the count has run out.
    FormCustomizeMessagebox(const QString& text, int mode, bool autoClose, QWidget* parent = nullptr);
    ~FormCustomizeMessagebox() override;

    // Seconds between two countdown ticks, and the count the countdown starts from.
    static constexpr int kCountdownIntervalMs = 1000;
    static constexpr int kCountdownSeconds = 5;

public slots:
    void on_btnOK_clicked();
    void on_btnCancel_clicked();
    // One countdown tick: shows the remaining seconds and counts down; the tick that finds
    // nothing left accepts the box.
    void slotOnTimeout();

protected:
    void resizeEvent(QResizeEvent* event) override;
    // The text is fitted to the dialog's fixed size once it is laid out.
    void showEvent(QShowEvent* event) override;

private:
    void showRemaining();
    void stopCountdown();

    Ui::FormCustomizeMessagebox* ui;
    QString m_text;
    int m_mode;
    bool m_autoClose;
    QTimer* m_timer = nullptr;
    int m_remaining = 0;
};
