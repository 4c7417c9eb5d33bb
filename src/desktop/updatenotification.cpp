#include "desktop/updatenotification.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>

UpdateNotification::UpdateNotification(QWidget* parent) : QWidget(parent)
{
    auto* layout = new QHBoxLayout(this);
    auto* spacer = new QWidget(this);
    spacer->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Expanding);
    layout->addWidget(spacer);
    m_label = new QLabel(this);
    m_label->setObjectName(QStringLiteral("updateMessage"));
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
