#pragma once

// The recovery dialog shown when a camera is found stuck in a boot stage: a text with external
// links, Cancel and Upgrade. Upgrade lets the user choose a package; the dialog is accepted only
// when the chosen package passes the check. Choosing and checking are supplied by the window, so
// the dialog itself neither opens archives nor touches files.

#include <QDialog>
#include <QString>

#include <functional>

namespace Ui {
class FormAbnormal;
}
class QLabel;

class FormAbnormal : public QDialog
{
    Q_OBJECT
public:
    explicit FormAbnormal(QWidget* parent = nullptr);
    ~FormAbnormal() override;

    // Asks the user for a package file with the dialog as parent; an empty result means the
    // choice was cancelled (the dialog then stays open).
    std::function<QString(QWidget* parent)> chooseFile;
    // Prepares and checks the chosen package; true accepts the dialog, false leaves it open
    // without a message.
    std::function<bool(const QString& file)> checkPackage;

    void setPrompt(const QString& text);
    QLabel* promptLabel() const;

public slots:
    void on_btnUpgrade_clicked();
    void on_btnCancel_clicked();

protected:
    void resizeEvent(QResizeEvent* event) override;
    // The text is fitted to the dialog's fixed size once it is laid out.
    void showEvent(QShowEvent* event) override;

private:
    Ui::FormAbnormal* ui;
};
