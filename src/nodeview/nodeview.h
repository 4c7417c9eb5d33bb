#pragma once

#include <QQuickWidget>
#include <QStringList>
#include <QVariant>

#include <memory>

class GuiNode;
class IDatabase;
class NodeViewPrivate;
class QQmlEngine;
class QQuickItem;
struct VNodeDto;

// The node view: peers, drives, directories and files as nodes that the
// user places on sectors (pages of their own, switched by a strip of sector
// nodes above them), on the shared QML engine. Every sector and node is a
// row of the store, so the arrangement comes back on the next start.
//
// Nothing is built until the connection manager announces its start; then
// the stored sectors and nodes are loaded (or, on a first start, one sector
// with the default nodes is made), and from then on the view keeps the
// nodes' relations, reachability and paths up to date.
class NodeView : public QQuickWidget
{
    Q_OBJECT
public:
    NodeView(QQmlEngine* engine, IDatabase* database, QWidget* parent = nullptr);
    ~NodeView() override;

    // The first sector's default name in every language the program ships.
    // A sector stored under one of them was never renamed: it shows under
    // the current language's name (and is stored so). Empty unless set.
    static void setDefaultSectorNames(const QStringList& names);

    // Tests: the interval of the node visitor (5000 ms unless set), for
    // views made afterwards and for this one.
    static int defaultVisitorIntervalMs();
    static void setDefaultVisitorIntervalMs(int ms);
    void setVisitorIntervalMs(int ms);
    int visitorIntervalMs() const;
    // The delays of the first start's default nodes: 1250 ms after set-up,
    // then every 500 ms while the own peer is not ready.
    static constexpr int DefaultNodesDelayMs = 1250;
    static constexpr int DefaultNodesRetryMs = 500;

    // Read-only views for tests and the benchmark.
    bool isSetUp() const;
    QStringList sectorUuids() const;
    QString sectorName(const QString& sectorUuid) const;
    QQuickItem* sectorPage(const QString& sectorUuid) const;
    QList<GuiNode*> sectorNodes(const QString& sectorUuid) const;
    QList<GuiNode*> stripNodes() const;
    QString currentSectorUuid() const;

    // Items of another machine dragged out of a file pane: the paths on that
    // machine as UTF-8 lines (the machine's uuid in "application/velm-peer-uuid").
    static QString remotePathsFormat();
    // The first path of that format: at most 64 KiB read, the text up to a
    // NUL byte, the first non-empty line that is an absolute path; empty
    // when there is none.
    static QString firstRemotePath(const QByteArray& data);

signals:
    void activateAlternateFilerpane();
    void createNewWindow();
    void createNewTab();
    void nodeDoubleClicked(const QString& peerUuid, const QString& path);
    void peerClicked(const QString& peerUuid);
    void previewRequest(const QString& peerUuid, const QString& path);

public slots:
    void addSectorToView(const QString& vsectorUuid, const QString& name, double cx, double cy, double cw,
                         double ch, int x = -1, int y = -1);
    void nodeClicked();
    void nodeContextMenuRequest();
    void sectorContextMenuRequest();
    void sectorNodeClicked();
    void clickedEmptySpace();
    void nodeViewContextMenuRequest();
    void onPeerModelChanged();
    void onNodeMoved();
    void rescaleViewTimerFired();
    void visitorTimerFired();
    void onFoundWatchItem(const QString& path, qulonglong fileId, const QString& watchPath);
    void onNodeStyleSelected(const QVariant& style);
    void onSectorNameEdited();
    void onPeerNameChanged();
    void driveRowsInserted(const QModelIndex& parent, int first, int last);
    void createNewVSector();

protected:
    void keyPressEvent(QKeyEvent* event) override;
    void keyReleaseEvent(QKeyEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void dragEnterEvent(QDragEnterEvent* event) override;
    void dropEvent(QDropEvent* event) override;

private slots:
    void setupView();
    void initDefaultNodes();

private:
    friend class NodeViewPrivate;
    std::unique_ptr<NodeViewPrivate> d;
};
