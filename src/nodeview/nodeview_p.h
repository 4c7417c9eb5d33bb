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
class QMenu;
class QMessageBox;
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
    // Nodes deleted by the user whose deferred deletion may not have run
    // yet: the view's destructor deletes them while its scene still stands.
    std::vector<QPointer<GuiNode>> discarded;
    // The open context menu and the open question, if any: neither runs an
    // event loop of its own; their actions look their targets up again
    // when chosen.
    QPointer<QMenu> menu;
    QPointer<QMessageBox> question;

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
    // The strip or the sector of that uuid; null when there is none (any more).
    SectorView* viewOfUuid(const QString& sectorUuid);
    // The node of that uuid in that view while it stands: null once it is
    // gone or deleted.
    GuiNode* liveNode(const QString& sectorUuid, const QString& nodeUuid);
    // The strip's node of a sector.
    GuiNode* stripNodeOf(const QString& sectorUuid) const;
    // Shows a context menu without waiting for it: the previous one closes,
    // and the menu goes once it is hidden.
    void popup(QMenu* menu);
    void storeVSector(SectorView& view);
    void storeViewState();
    void deselectNodes(SectorView& view);

    // Deletion and opening (the interaction).
    // Takes a node out of its record for good: its row goes, no save of it
    // follows, its item is hidden and the node goes with its item later.
    void discardNode(GuiNode* node);
    void deleteSelectedNodes(SectorView& view);
    // The sector with its page, its nodes and their rows, and its tab.
    void deleteSector(const QString& sectorUuid);
    GuiNode* firstSelectedNode(SectorView& view) const;
    // What "open" does for a node after the pane signal: a directory,
    // drive or network node opens its path, a peer node its peer.
    void openNode(GuiNode* node, bool withNetwork);

    // The menus' actions. A node's act on the node found again by uuid (the
    // deletion on the selected nodes of its view); none acts once the node
    // is gone.
    enum class NodeAction { Customize, OpenRight, OpenWindow, OpenTab, DeleteSelected };
    void runNodeAction(NodeAction action, const QString& sectorUuid, const QString& nodeUuid);
    // Asks (without waiting) whether to delete the sector; the answer
    // deletes it if it and another sector are still there.
    void askToDeleteSector(const QString& sectorUuid);

    // Relations, watching and layout.
    void updateNodeRelations(SectorView& view);
    void updateAllRelations();
    void rescale();
    void visit(GuiNode* node);
    void refreshDriveNodes(IPeer* peer, QAbstractItemModel* drives, int first, int last);
};
