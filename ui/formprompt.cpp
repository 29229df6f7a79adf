#include "formprompt.h"

#include <QPainter>
#include <QPainterPath>
#include <QPolygonF>
#include <QTextEdit>
#include <QVBoxLayout>

namespace {
constexpr int kCornerRadius = 4;
constexpr int kContentMargin = 20;
constexpr int kMaxTextHeight = 80;
} // namespace

FormPrompt::FormPrompt(QWidget* parent) : QWidget(parent)
{
    setObjectName(QStringLiteral("FormPrompt"));
    setWindowTitle(tr("Form"));
    // Hints only: without a window type the pop-up stays a child widget of its parent.
    setWindowFlags(Qt::FramelessWindowHint | Qt::WindowStaysOnTopHint);
    resize(239, 80);

    auto* outer = new QVBoxLayout(this);
    outer->setContentsMargins(kContentMargin, kContentMargin, kContentMargin, kContentMargin);
    // The pop-up keeps the size it is given; the text fits itself into what remains.
    outer->setSizeConstraint(QLayout::SetNoConstraint);
    m_widget = new QWidget(this);
    m_widget->setObjectName(QStringLiteral("widget"));
    outer->addWidget(m_widget);

    auto* inner = new QVBoxLayout(m_widget);
    inner->setContentsMargins(0, 0, 0, 0);
    m_textEdit = new QTextEdit(m_widget);
    m_textEdit->setObjectName(QStringLiteral("textEditContent"));
    m_textEdit->setReadOnly(true);
    m_textEdit->setContextMenuPolicy(Qt::NoContextMenu);
    m_textEdit->setMaximumHeight(kMaxTextHeight);
    m_textEdit->setFrameShape(QFrame::NoFrame);
    m_textEdit->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    m_textEdit->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    // The painted box is the background: the text lies on it.
    m_textEdit->setStyleSheet(QStringLiteral("QTextEdit { background: transparent; border: none; }"));
    m_textEdit->viewport()->setAutoFillBackground(false);
    inner->addWidget(m_textEdit);
}

void FormPrompt::setBackgroundColor(const QColor& colour)
{
    m_background = colour;
    update();
}

void FormPrompt::setText(const QString& text)
{
    m_textEdit->setText(text);
}

QString FormPrompt::text() const
{
    return m_textEdit->toPlainText();
}

void FormPrompt::paintEvent(QPaintEvent* /*event*/)
{
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(Qt::NoPen);
    painter.setBrush(m_background);

    const double w = width();
    const double h = height();
    const double inset = m_boxInset;
    const double half = m_arrowSize / 2.0;
    painter.drawRoundedRect(QRectF(inset, inset, w - 2 * inset, h - 2 * inset), kCornerRadius, kCornerRadius);

    const double f = m_arrowPosition;
    QPolygonF arrow;
    switch (m_arrowSide) {
    case ArrowLeft:
        arrow << QPointF(inset, h * f - half) << QPointF(inset - half, h * f) << QPointF(inset, h * f + half);
        break;
    case ArrowTop:
        arrow << QPointF(w * f - half, inset) << QPointF(w * f, inset - half) << QPointF(w * f + half, inset);
        break;
    case ArrowRight:
        arrow << QPointF(w - inset, h * f - half) << QPointF(w - inset + half, h * f)
              << QPointF(w - inset, h * f + half);
        break;
    case ArrowBottom:
    default:
        arrow << QPointF(w * f - half, h - inset) << QPointF(w * f, h - inset + half)
              << QPointF(w * f + half, h - inset);
        break;
    }
    painter.drawPolygon(arrow);
}
