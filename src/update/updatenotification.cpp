#include "update/updatenotification.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QLinearGradient>
#include <QPaintEvent>
#include <QPainter>
#include <QPushButton>

UpdateNotification::UpdateNotification(QWidget* parent) : QWidget(parent)
{
    setObjectName(QStringLiteral("updateNotification"));
    auto* layout = new QHBoxLayout(this);
    auto* spacer = new QWidget(this);
    spacer->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Expanding);
    layout->addWidget(spacer);
    m_label = new QLabel(this);
    m_label->setObjectName(QStringLiteral("updateMessage"));
    // The version comes from the update feed: never markup.
    m_label->setTextFormat(Qt::PlainText);
    layout->addWidget(m_label);
    //% "Show"
    auto* button = new QPushButton(qtTrId("upd-btn-show"), this);
    button->setObjectName(QStringLiteral("updateShow"));
    connect(button, &QPushButton::clicked, this, &QWidget::hide);
    connect(button, &QPushButton::clicked, this, &UpdateNotification::showUpdate);
    layout->addWidget(button);
    layout->setContentsMargins(8, 4, 8, 4);
    setMaximumHeight(sizeHint().height());
    hide();
}

QColor UpdateNotification::baseColor()
{
    return QColor(QStringLiteral("#CFF09E"));
}

void UpdateNotification::updateAvailable(const QString& version)
{
    //% "velm %1 is available."
    m_label->setText(qtTrId("upd-ntf-newversion").arg(version));
    show();
}

void UpdateNotification::updateDialogDone(int)
{
    hide();
}

void UpdateNotification::paintEvent(QPaintEvent* event)
{
    {
        QPainter painter(this);
        const QRect r = event->rect();
        QLinearGradient gradient(r.topLeft(), r.bottomLeft());
        const QColor base = baseColor();
        gradient.setColorAt(0.0, base.lighter(110));
        gradient.setColorAt(0.02, base);
        gradient.setColorAt(0.99, base);
        gradient.setColorAt(1.0, base.darker(110));
        painter.fillRect(r, gradient);
    }
    QWidget::paintEvent(event);
}
