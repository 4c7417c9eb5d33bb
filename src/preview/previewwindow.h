#pragma once

#include <QQuickView>

class IDatabase;
class QQmlEngine;

// The preview window: one file of this machine shown large, on the shared
// QML engine. Stand-in: an empty window with the signals the main window
// connects; its page, the "preview" image provider and the loading come
// later.
class PreviewWindow : public QQuickView
{
    Q_OBJECT
public:
    PreviewWindow(QQmlEngine* engine, IDatabase* database, QWindow* parent = nullptr);

signals:
    void requestClose();
    void showPrevious();
    void showNext();
};
