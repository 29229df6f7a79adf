#pragma once

// The consent dialog before a firmware upgrade: a read-only text and Cancel/OK. Accepted (result
// 1) means the user agrees to start the upgrade; closed or cancelled (result 0) means not.

#include <QDialog>

namespace Ui {
class FormUpgrade;
}
class QTextEdit;

class FormUpgrade : public QDialog
{
    Q_OBJECT
public:
    explicit FormUpgrade(QWidget* parent = nullptr);
    ~FormUpgrade() override;

    // Sets the (rich) text of the prompt.
    void setPrompt(const QString& text);
    QTextEdit* promptEdit() const;

public slots:
    void on_btnOK_clicked();
    void on_btnCancel_clicked();

protected:
    void resizeEvent(QResizeEvent* event) override;
    // The text is fitted to the dialog's fixed size once it is laid out.
    void showEvent(QShowEvent* event) override;

private:
    Ui::FormUpgrade* ui;
};
