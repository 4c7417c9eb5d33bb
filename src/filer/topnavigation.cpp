#include "filer/topnavigation.h"

#include <QQmlEngine>

TopNavigation::TopNavigation(QQmlEngine* engine, QWidget* parent) : QQuickWidget(engine, parent)
{
    setResizeMode(QQuickWidget::SizeViewToRootObject);
    setSource(QUrl(QStringLiteral("qrc:/qml/BreadCrumb.qml")));
    // Only the height is held: a minimum width taken from the parent would
    // keep the Filer from ever getting narrower than it was at birth.
    Q_UNUSED(parent)
    setMinimumSize(0, 96);
    setAttribute(Qt::WA_NoSystemBackground, false);
    setAutoFillBackground(false);
    setClearColor(palette().color(QPalette::Window));
    setContentsMargins(0, 0, 0, 0);
}

void TopNavigation::paintEvent(QPaintEvent* event)
{
    QQuickWidget::paintEvent(event);
}
