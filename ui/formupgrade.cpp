#include "formupgrade.h"
#include "ui_formupgrade.h"

#include "dialogshape.h"

FormUpgrade::FormUpgrade(QWidget* parent) : QDialog(parent), ui(new Ui::FormUpgrade)
{
    ui->setupUi(this);
    setObjectName(QStringLiteral("FormUpgrade"));
    setWindowFlags(windowFlags() | Qt::FramelessWindowHint);
    setFixedSize(450, 258);
    ui->textEditPrompt->setReadOnly(true);
    ui->textEditPrompt->setContextMenuPolicy(Qt::NoContextMenu);
    ui->textEditPrompt->setMaximumHeight(180);
    ui->btnCancel->setFixedSize(80, 30);
    ui->btnOK->setFixedSize(80, 30);
    ui->btnOK->setDefault(true);
    ui->btnOK->setFocus();
}

FormUpgrade::~FormUpgrade()
{
    delete ui;
}

void FormUpgrade::setPrompt(const QString& text)
{
    ui->textEditPrompt->setText(text);
    if (isVisible())
        fitTextToHeight(ui->textEditPrompt);
}

QTextEdit* FormUpgrade::promptEdit() const
{
    return ui->textEditPrompt;
}

void FormUpgrade::on_btnOK_clicked()
{
    accept(); // result 1: the user consents
}

void FormUpgrade::on_btnCancel_clicked()
{
    close(); // a dialog closed this way is rejected (result 0)
}

void FormUpgrade::resizeEvent(QResizeEvent* event)
{
    QDialog::resizeEvent(event);
    clipToRoundedRect(this);
}

void FormUpgrade::showEvent(QShowEvent* event)
{
    QDialog::showEvent(event);
    fitTextToHeight(ui->textEditPrompt);
}
