#pragma once

#include <QQuickWidget>

class IDatabase;
class QQmlEngine;

// The node view: the scene of sectors and nodes, on the shared QML engine.
// Stand-in: an empty QML widget in the theme's background colour with the
// signals the main window connects; the scene comes later.
class NodeView : public QQuickWidget
{
    Q_OBJECT
public:
    NodeView(QQmlEngine* engine, IDatabase* database, QWidget* parent = nullptr);

signals:
    void activateAlternateFilerpane();
    void createNewWindow();
    void createNewTab();
    void nodeDoubleClicked(const QString& peerUuid, const QString& path);
    void peerClicked(const QString& peerUuid);
    void previewRequest(const QString& peerUuid, const QString& path);
};
