#pragma once

// A small speech-bubble pop-up: a rounded box with an arrow on one side and a read-only text.
// It stays a child of its parent widget (frameless, kept on top) rather than a window of its own.

#include <QColor>
#include <QWidget>

class QTextEdit;

class FormPrompt : public QWidget
{
    Q_OBJECT
public:
    // The side the arrow points out of.
    enum ArrowSide
    {
        ArrowLeft = 1,
        ArrowTop = 2,
        ArrowRight = 3,
        ArrowBottom = 4
    };

    explicit FormPrompt(QWidget* parent = nullptr);

    void setBackgroundColor(const QColor& colour);
    QColor backgroundColor() const { return m_background; }
    void setText(const QString& text);
    QString text() const;
    QTextEdit* textEdit() const { return m_textEdit; }

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    QWidget* m_widget = nullptr;
    QTextEdit* m_textEdit = nullptr;
    QColor m_background{220, 220, 220};
    int m_arrowSide = ArrowLeft;
    double m_arrowPosition = 0.4; // fraction of the side's length
    int m_boxInset = 10;          // gap between the widget's edge and the rounded box
    int m_arrowSize = 10;         // arrow base width; the tip lies half of it out of the box
};
