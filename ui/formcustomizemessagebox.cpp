#include "formcustomizemessagebox.h"
#include "ui_formcustomizemessagebox.h"

#include "dialogshape.h"

#include <QTimer>

FormCustomizeMessagebox::FormCustomizeMessagebox(const QString& text, int mode, bool autoClose,
                                                 QWidget* parent)
    : QDialog(parent), ui(new Ui::FormCustomizeMessagebox), m_text(text), m_mode(mode), m_autoClose(autoClose)
{
    ui->setupUi(this);
    setWindowFlags(windowFlags() | Qt::FramelessWindowHint);

    ui->labeltext->setWordWrap(true);
    ui->labeltext->setText(m_text);
    ui->btnCancel->setVisible(m_mode == 1);
    ui->btnOK->setDefault(true);
    ui->btnOK->setFocus();

    if (m_autoClose) {
        m_remaining = kCountdownSeconds;
        showRemaining();
        ui->labelCountdown->show();
        m_timer = new QTimer(this);
        connect(m_timer, &QTimer::timeout, this, &FormCustomizeMessagebox::slotOnTimeout);
        m_timer->start(kCountdownIntervalMs);
    } else {
        ui->labelCountdown->hide();
    }
}

FormCustomizeMessagebox::~FormCustomizeMessagebox()
{
    delete ui;
}

void FormCustomizeMessagebox::showRemaining()
{
    ui->labelCountdown->setText(tr("The window will close automatically after %1 seconds.").arg(m_remaining));
}

void FormCustomizeMessagebox::stopCountdown()
{
    if (!m_timer)
        return;
    // The timer may be the sender of the running tick: let it go once the tick is over.
    m_timer->stop();
    m_timer->deleteLater();
    m_timer = nullptr;
}

void FormCustomizeMessagebox::slotOnTimeout()
{
    showRemaining();
    if (m_remaining <= 0) {
        stopCountdown();
        accept();
        return;
    }
    --m_remaining;
}

void FormCustomizeMessagebox::on_btnOK_clicked()
{
    stopCountdown();
    accept();
}

void FormCustomizeMessagebox::on_btnCancel_clicked()
{
    stopCountdown();
    close(); // a dialog closed this way is rejected
}

void FormCustomizeMessagebox::resizeEvent(QResizeEvent* event)
{
    QDialog::resizeEvent(event);
    clipToRoundedRect(this);
}

void FormCustomizeMessagebox::showEvent(QShowEvent* event)
{
    QDialog::showEvent(event);
    fitTextToHeight(ui->labeltext);
}
