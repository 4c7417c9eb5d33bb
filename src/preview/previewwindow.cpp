#include "preview/previewwindow.h"

PreviewWindow::PreviewWindow(QQmlEngine* engine, IDatabase*, QWindow* parent) : QQuickView(engine, parent)
{
    setObjectName(QStringLiteral("previewWindow"));
    setResizeMode(QQuickView::SizeRootObjectToView);
}
