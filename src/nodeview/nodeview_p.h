#pragma once

#include "nodeview/nodeview.h"

#include <QPointer>
#include <QString>
#include <QStringList>

#include <vector>

class GuiNode;
class IDatabase;
class IPeer;
class PeerModel;
class QAbstractItemModel;
class QQmlEngine;
class QQuickItem;
class QTimer;
struct VNodeDto;

// The private state of NodeView, shared by its source files.
class NodeViewPrivate
{
public:
    // One sector on screen, or the strip.
    struct SectorView
    {
        QQuickItem* page = nullptr;
        QString uuid;
        QString name;
        std::vector<GuiNode*> nodes; // not owned: children of the view
    };

    explicit NodeViewPrivate(NodeView* view) : q(view) {}

    NodeView* q;
    QQmlEngine* engine = nullptr;
    bool setUp = false;
    bool destroying = false;
    int pressX = 0;
    int pressY = 0;
    QString dragPeerUuid;
    QString dragPath;
    int rescaleCountdown = 0;
    QTimer* rescaleTimer = nullptr;
    QTimer* visitorTimer = nullptr;
    int visitorIntervalMs = 5000;
    quint64 visitViewIndex = 0;
    quint64 visitNodeIndex = 0;
    IDatabase* db = nullptr;
    QPointer<QObject> customizer;
    QStringList wiredPeers;
    SectorView rootView;
    std::vector<SectorView> views;

    // The peer model: the connection manager's, else the process's.
    static PeerModel* peerModel();
    static bool isNodeType(const QString& type);

    QObject* theme() const;
    // The one style source of every node: the theme's "node" object.
    QObject* styleSource() const;
    QQuickItem* findItem(const char* objectName) const;
    QQuickItem* sectorStack() const;
    // The item a page's nodes go into: a sector page's content item, or the
    // strip itself.
    QQuickItem* nodeParentOf(QQuickItem* page) const;

    void createSector(const QString& name, int x, int y);
    GuiNode* createNode(SectorView* view, const VNodeDto& row, QObject* styleSource);
    void wirePeer(IPeer* peer);
    void loadSectors();
    void loadNodes();
    void openView(int index);
    bool selectSector(const QString& uuid);
    SectorView* currentView();
    SectorView* findView(QQuickItem* page);
    SectorView* viewOfSender(QObject* sender);
    GuiNode* nodeOfItem(SectorView& view, QObject* item) const;
    void storeVSector(SectorView& view);
    void storeViewState();
    void deselectNodes(SectorView& view);

    // Relations, watching and layout.
    void updateNodeRelations(SectorView& view);
    void updateAllRelations();
    void rescale();
    void visit(GuiNode* node);
    void refreshDriveNodes(IPeer* peer, QAbstractItemModel* drives, int first, int last);
};
