#include "nodeview/nodeview.h"

NodeView::NodeView(QQmlEngine* engine, IDatabase*, QWidget* parent) : QQuickWidget(engine, parent)
{
    setObjectName(QStringLiteral("nodeView"));
    setResizeMode(QQuickWidget::SizeRootObjectToView);
    setClearColor(palette().color(QPalette::Window));
    setFocusPolicy(Qt::StrongFocus);
}
