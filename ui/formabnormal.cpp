#include "formabnormal.h"
#include "ui_formabnormal.h"

#include "dialogshape.h"

FormAbnormal::FormAbnormal(QWidget* parent) : QDialog(parent), ui(new Ui::FormAbnormal)
{
    ui->setupUi(this);
    setObjectName(QStringLiteral("FormAbnormal"));
    setWindowFlags(windowFlags() | Qt::FramelessWindowHint);
    setFixedSize(450, 230);
    ui->labelPrompt->setOpenExternalLinks(true);
    ui->labelPrompt->setTextFormat(Qt::RichText);
    ui->btnCancel->setFixedSize(80, 30);
    ui->btnUpgrade->setFixedSize(80, 30);
    ui->btnUpgrade->setDefault(true);
    ui->btnUpgrade->setFocus();
}

FormAbnormal::~FormAbnormal()
{
    delete ui;
}

void FormAbnormal::setPrompt(const QString& text)
{
    ui->labelPrompt->setText(text);
    if (isVisible())
        fitTextToHeight(ui->labelPrompt);
}

QLabel* FormAbnormal::promptLabel() const
{
    return ui->labelPrompt;
}

void FormAbnormal::on_btnUpgrade_clicked()
{
    if (!chooseFile)
        return;
    const QString file = chooseFile(this);
    if (file.isEmpty())
        return; // cancelled: the user may choose again or cancel the dialog
    if (checkPackage && checkPackage(file))
        accept();
}

void FormAbnormal::on_btnCancel_clicked()
{
    close(); // rejected
}

void FormAbnormal::resizeEvent(QResizeEvent* event)
{
    QDialog::resizeEvent(event);
    clipToRoundedRect(this);
}

void FormAbnormal::showEvent(QShowEvent* event)
{
    QDialog::showEvent(event);
    fitTextToHeight(ui->labelPrompt);
}
