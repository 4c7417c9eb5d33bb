#pragma once

#include <QQuickWidget>

class QQmlEngine;

// The breadcrumb bar above a Filer's pages, "qrc:/qml/BreadCrumb.qml" on the
// shared engine, sized to its root object.
class TopNavigation : public QQuickWidget
{
    Q_OBJECT
public:
    TopNavigation(QQmlEngine* engine, QWidget* parent);

protected:
    void paintEvent(QPaintEvent* event) override;
};
