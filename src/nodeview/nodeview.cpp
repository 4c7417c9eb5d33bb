#include "nodeview/nodeview.h"

#include "core/appsettings.h"
#include "core/databasetransaction.h"
#include "core/idatabase.h"
#include "core/logger.h"
#include "core/vsectordto.h"
#include "manager/connectionmanager.h"
#include "models/vfsdrivemodel.h"
#include "models/vfsmodel.h"
#include "nodeview/connectionsitem.h"
#include "nodeview/filenode.h"
#include "nodeview/guinode.h"
#include "nodeview/nodeview_p.h"
#include "peer/ipeer.h"
#include "peer/peermodel.h"

#include <QAction>
#include <QCursor>
#include <QMenu>
#include <QMessageBox>
#include <QQmlComponent>
#include <QQmlContext>
#include <QQmlEngine>
#include <QQuickItem>
#include <QQuickWindow>
#include <QSGRendererInterface>
#include <QSettings>
#include <QSurfaceFormat>
#include <QTimer>
#include <QUuid>

static void initNodeViewResources()
{
    Q_INIT_RESOURCE(nodeview);
}

namespace {
int s_defaultVisitorIntervalMs = 5000;
QStringList s_defaultSectorNames;

// A stored sector name as shown: the first sector's default name in any
// shipped language reads as the current language's; a name the user gave
// stays as it is.
QString shownSectorName(const QString& stored)
{
    const QString current = qtTrId("sector-main");
    return s_defaultSectorNames.contains(stored) ? current : stored;
}
// The contents of a new sector and of the extra row.
constexpr double kContentPos = 1024;
constexpr double kContentSize = 4096;
const char* const kLastSectorKey = "nodeview/lastsector";

QString nullUuid()
{
    return QUuid().toString();
}

// The program's one "Add new node view" action, made by the first view that
// sets up its scene.
QPointer<QAction>& createSectorAction()
{
    static QPointer<QAction> action;
    return action;
}
} // namespace

// ---------------------------------------------------------------- NodeViewPrivate

PeerModel* NodeViewPrivate::peerModel()
{
    ConnectionManager* manager = ConnectionManager::instance();
    PeerModel* model = manager ? manager->peerModel() : nullptr;
    return model ? model : PeerModel::instance();
}

bool NodeViewPrivate::isNodeType(const QString& type)
{
    static const QStringList types = { QStringLiteral("peer"),      QStringLiteral("drive"),
                                       QStringLiteral("directory"), QStringLiteral("network"),
                                       QStringLiteral("file"),      QStringLiteral("sector") };
    return types.contains(type);
}

QObject* NodeViewPrivate::theme() const
{
    return engine ? engine->rootContext()->contextProperty(QStringLiteral("Theme")).value<QObject*>() : nullptr;
}

QObject* NodeViewPrivate::styleSource() const
{
    QObject* t = theme();
    return t ? t->property("node").value<QObject*>() : nullptr;
}

QQuickItem* NodeViewPrivate::findItem(const char* objectName) const
{
    QQuickItem* root = q->rootObject();
    if (!root)
        return nullptr;
    return root->findChild<QQuickItem*>(QLatin1String(objectName));
}

QQuickItem* NodeViewPrivate::sectorStack() const
{
    return findItem("sectorStack");
}

QQuickItem* NodeViewPrivate::nodeParentOf(QQuickItem* page) const
{
    if (!page || page == rootView.page)
        return page;
    auto* content = page->property("contentItem").value<QQuickItem*>();
    return content ? content : page;
}

void NodeViewPrivate::createSector(const QString& name, int x, int y)
{
    q->addSectorToView(QUuid::createUuid().toString(), name, kContentPos, kContentPos, kContentSize, kContentSize, x,
                       y);
}

GuiNode* NodeViewPrivate::createNode(SectorView* view, const VNodeDto& row, QObject* source)
{
    if (!view || !view->page)
        return nullptr;
    if (!isNodeType(row.type)) {
        Logger::log(Logger::NFO2, "node %s of unknown type \"%s\" skipped", qUtf8Printable(row.uuid),
                    qUtf8Printable(row.type));
        return nullptr;
    }
    PeerModel* model = peerModel();
    IPeer* peer = model ? model->getPeerForUuid(row.peerUuid) : nullptr;
    if (!peer)
        return nullptr;

    GuiNode* node = row.type == QLatin1String("file") ? new FileNode(engine, peer, row, source, q)
                                                       : new GuiNode(engine, peer, row, source, q);
    QQuickItem* item = node->item();
    if (!item) {
        // The node file did not build (the node logged why): no node.
        delete node;
        return nullptr;
    }
    if (QQuickWindow* window = q->quickWindow()) {
        QSGRendererInterface* renderer = window->rendererInterface();
        if (renderer && renderer->graphicsApi() == QSGRendererInterface::Software)
            item->setProperty("softwareRendering", true);
    }
    QQuickItem* parentItem = nodeParentOf(view->page);
    item->setParentItem(parentItem);
    if (parentItem != view->page)
        node->setConnector(new ConnectionsItem(item, parentItem));
    view->nodes.push_back(node);
    wirePeer(peer);
    return node;
}

void NodeViewPrivate::wirePeer(IPeer* peer)
{
    const QString uuid = peer->uuid();
    if (wiredPeers.contains(uuid))
        return;
    wiredPeers << uuid;
    if (auto* drives = qobject_cast<VfsDriveModel*>(peer->vfsDriveModel()))
        QObject::connect(drives, &QAbstractItemModel::rowsInserted, q, &NodeView::driveRowsInserted);
    if (auto* files = qobject_cast<VfsModel*>(peer->vfsFileSystemModel()))
        QObject::connect(files, &VfsModel::foundWatchItem, q, &NodeView::onFoundWatchItem);
}

void NodeViewPrivate::loadSectors()
{
    const QString none = nullUuid();
    for (const VSectorDto& row : db->getVSectors()) {
        if (row.uuid != none)
            q->addSectorToView(row.uuid, shownSectorName(row.name), row.x, row.y, row.w, row.h, -1, -1);
    }
}

void NodeViewPrivate::loadNodes()
{
    QObject* source = styleSource();
    for (size_t i = 0; i < views.size(); ++i) {
        const QString uuid = views[i].uuid;
        for (const VNodeDto& row : db->getVNodes(uuid)) {
            // A sector's own row is its tab in the strip, made already.
            if (row.type == QLatin1String("sector"))
                continue;
            createNode(&views[i], row, source);
        }
    }
    for (const VNodeDto& row : db->getVNodes(nullUuid())) {
        // A sector node that stands for no sector is no tab of the strip.
        if (row.type == QLatin1String("sector"))
            continue;
        createNode(&rootView, row, source);
    }
}

void NodeViewPrivate::openView(int index)
{
    QQuickItem* stack = sectorStack();
    if (!stack || index < 0 || size_t(index) >= views.size())
        return;
    engine->rootContext()->setContextProperty(QStringLiteral("activeSectorUuid"), views[size_t(index)].uuid);
    stack->setProperty("currentIndex", index);
    q->setFocus();
}

bool NodeViewPrivate::selectSector(const QString& uuid)
{
    for (GuiNode* node : rootView.nodes) {
        if (node->type() == QLatin1String("sector") && node->item())
            node->item()->setProperty("selected", node->vsectorUuid() == uuid);
    }
    for (size_t i = 0; i < views.size(); ++i) {
        if (views[i].uuid == uuid) {
            openView(int(i));
            return true;
        }
    }
    return false;
}

NodeViewPrivate::SectorView* NodeViewPrivate::currentView()
{
    QQuickItem* stack = sectorStack();
    if (!stack)
        return nullptr;
    const int index = stack->property("currentIndex").toInt();
    if (index < 0 || size_t(index) >= views.size())
        return nullptr;
    return &views[size_t(index)];
}

NodeViewPrivate::SectorView* NodeViewPrivate::findView(QQuickItem* page)
{
    if (!page)
        return nullptr;
    for (SectorView& view : views) {
        if (view.page == page)
            return &view;
    }
    return rootView.page == page ? &rootView : nullptr;
}

// The record whose page holds a node item (the item lies in the page's
// content item, or right in the strip).
NodeViewPrivate::SectorView* NodeViewPrivate::viewOfSender(QObject* sender)
{
    auto* item = qobject_cast<QQuickItem*>(sender);
    if (!item)
        return nullptr;
    QQuickItem* parent = item->parentItem();
    if (SectorView* view = findView(parent))
        return view;
    return parent ? findView(parent->parentItem()) : nullptr;
}

GuiNode* NodeViewPrivate::nodeOfItem(SectorView& view, QObject* item) const
{
    for (GuiNode* node : view.nodes) {
        if (node->item() == item)
            return node;
    }
    return nullptr;
}

void NodeViewPrivate::storeVSector(SectorView& view)
{
    if (!view.page || !db)
        return;
    if (view.uuid.isEmpty())
        view.uuid = QUuid::createUuid().toString();
    VSectorDto row;
    row.uuid = view.uuid;
    row.name = view.name;
    row.x = view.page->property("contentX").toDouble();
    row.y = view.page->property("contentY").toDouble();
    row.w = view.page->property("contentWidth").toDouble();
    row.h = view.page->property("contentHeight").toDouble();
    db->putVSector(row);
}

void NodeViewPrivate::storeViewState()
{
    if (!setUp || !db)
        return;
    // One transaction for all rows: one write to the disk, not one a row.
    DatabaseTransaction transaction(db);
    for (SectorView& view : views) {
        for (GuiNode* node : view.nodes) {
            if (node->item())
                node->save(db);
        }
        storeVSector(view);
    }
    QString selected;
    for (GuiNode* node : rootView.nodes) {
        if (!node->item())
            continue;
        node->save(db);
        if (node->type() == QLatin1String("sector") && node->item()->property("selected").toBool())
            selected = node->vsectorUuid();
    }
    if (transaction.isActive())
        transaction.commit();
    if (!selected.isEmpty()) {
        AppSettings appSettings;
        appSettings.settings()->setValue(QLatin1String(kLastSectorKey), selected);
        appSettings.settings()->sync();
    }
}

void NodeViewPrivate::deselectNodes(SectorView& view)
{
    for (GuiNode* node : view.nodes) {
        QQuickItem* item = node->item();
        if (!item || !item->property("selected").toBool())
            continue;
        item->setProperty("selected", false);
        if (item->property("needSafe").toBool())
            node->restartTimer(db);
    }
}

// ---------------------------------------------------------------- NodeView

NodeView::NodeView(QQmlEngine* engine, IDatabase* database, QWidget* parent)
    : QQuickWidget(engine, parent), d(new NodeViewPrivate(this))
{
    initNodeViewResources();
    setObjectName(QStringLiteral("nodeView"));
    d->engine = engine;
    d->db = database;
    d->visitorIntervalMs = s_defaultVisitorIntervalMs;
    setContentsMargins(0, 0, 0, 0);
    setClearColor(QColor(252, 252, 252));
    setFocusPolicy(Qt::ClickFocus);
    QSurfaceFormat surface = format();
    surface.setSamples(8);
    surface.setAlphaBufferSize(8);
    setFormat(surface);
    // The node files read it; the sector shown is named once there is one.
    if (engine && !engine->rootContext()->contextProperty(QStringLiteral("activeSectorUuid")).isValid())
        engine->rootContext()->setContextProperty(QStringLiteral("activeSectorUuid"), QString());

    if (ConnectionManager* manager = ConnectionManager::instance())
        connect(manager, &ConnectionManager::started, this, &NodeView::setupView, Qt::QueuedConnection);
}

NodeView::~NodeView()
{
    d->destroying = true;
    // An open menu or question goes first: its actions need the records.
    delete d->menu.data();
    qDeleteAll(findChildren<QMessageBox*>(QString(), Qt::FindDirectChildrenOnly));
    d->storeViewState();
    if (d->customizer)
        d->customizer->deleteLater();
    // The nodes go while the scene still stands: an item taken out of a
    // scene leaves its scene-graph nodes (and their textures) to be freed at
    // the scene's next synchronisation, which one more frame provides.
    std::vector<GuiNode*> nodes = d->rootView.nodes;
    for (auto& view : d->views)
        nodes.insert(nodes.end(), view.nodes.begin(), view.nodes.end());
    for (const QPointer<GuiNode>& node : d->discarded) {
        if (node)
            nodes.push_back(node.data());
    }
    d->discarded.clear();
    d->rootView.nodes.clear();
    d->views.clear();
    for (GuiNode* node : nodes) {
        if (QQuickItem* item = node->item())
            item->disconnect(this);
        delete node;
    }
    // The textures the scene made stay with its render context, which a
    // software-rendered widget never releases on its own: released here
    // with one more frame, whether the view is shown or not.
    if (d->setUp && rootObject()) {
        setSource(QUrl());
        if (quickWindow()) {
            quickWindow()->releaseResources();
            grabFramebuffer();
        }
    }
}

void NodeView::setDefaultSectorNames(const QStringList& names) { s_defaultSectorNames = names; }
int NodeView::defaultVisitorIntervalMs() { return s_defaultVisitorIntervalMs; }
void NodeView::setDefaultVisitorIntervalMs(int ms) { s_defaultVisitorIntervalMs = qMax(1, ms); }

void NodeView::setVisitorIntervalMs(int ms)
{
    d->visitorIntervalMs = qMax(1, ms);
    if (d->visitorTimer)
        d->visitorTimer->start(d->visitorIntervalMs);
}

int NodeView::visitorIntervalMs() const { return d->visitorIntervalMs; }
bool NodeView::isSetUp() const { return d->setUp; }

QStringList NodeView::sectorUuids() const
{
    QStringList uuids;
    for (const auto& view : d->views)
        uuids << view.uuid;
    return uuids;
}

QString NodeView::sectorName(const QString& sectorUuid) const
{
    for (const auto& view : d->views) {
        if (view.uuid == sectorUuid)
            return view.name;
    }
    return QString();
}

QQuickItem* NodeView::sectorPage(const QString& sectorUuid) const
{
    if (sectorUuid == nullUuid())
        return d->rootView.page;
    for (const auto& view : d->views) {
        if (view.uuid == sectorUuid)
            return view.page;
    }
    return nullptr;
}

QList<GuiNode*> NodeView::sectorNodes(const QString& sectorUuid) const
{
    for (const auto& view : d->views) {
        if (view.uuid == sectorUuid)
            return QList<GuiNode*>(view.nodes.begin(), view.nodes.end());
    }
    return {};
}

QList<GuiNode*> NodeView::stripNodes() const
{
    return QList<GuiNode*>(d->rootView.nodes.begin(), d->rootView.nodes.end());
}

QString NodeView::currentSectorUuid() const
{
    NodeViewPrivate::SectorView* view = d->currentView();
    return view ? view->uuid : QString();
}

void NodeView::setupView()
{
    if (d->setUp || !d->engine || !d->db)
        return;
    d->setUp = true;

    QPointer<QAction>& action = createSectorAction();
    if (!action) {
        //% "Add new node view"
        action = new QAction(qtTrId("action-create-vsector"), this);
    }
    connect(action, &QAction::triggered, this, &NodeView::createNewVSector);

    d->rescaleCountdown = 0;
    d->rescaleTimer = new QTimer(this);
    d->rescaleTimer->setSingleShot(true);
    d->rescaleTimer->setInterval(1000);
    connect(d->rescaleTimer, &QTimer::timeout, this, &NodeView::rescaleViewTimerFired);
    d->visitorTimer = new QTimer(this);
    connect(d->visitorTimer, &QTimer::timeout, this, &NodeView::visitorTimerFired);
    d->visitorTimer->start(d->visitorIntervalMs);

    setResizeMode(QQuickWidget::SizeRootObjectToView);
    setSource(QUrl(QStringLiteral("qrc:/qml/NodeView.qml")));
    setAcceptDrops(true);
    if (!rootObject()) {
        for (const QQmlError& error : errors())
            Logger::log(Logger::ERR1, "node view: %s", qUtf8Printable(error.toString()));
    }

    d->rootView.uuid = nullUuid();
    d->rootView.page = d->findItem("sectorView");
    if (QQuickItem* selector = d->findItem("nodeStyleSelector"))
        connect(selector, SIGNAL(styleClicked(QVariant)), this, SLOT(onNodeStyleSelected(QVariant)));
    d->engine->rootContext()->setContextProperty(QStringLiteral("activeSectorUuid"), QString());

    d->loadSectors();

    bool hasExtraRow = false;
    for (const VSectorDto& row : d->db->getVSectors())
        hasExtraRow = hasExtraRow || row.uuid == nullUuid();
    if (!hasExtraRow)
        d->db->putVSector(VSectorDto{ nullUuid(), QStringLiteral("static"), kContentPos, kContentPos, kContentSize,
                                      kContentSize });

    if (d->views.empty()) {
        //% "Main view"
        d->createSector(qtTrId("sector-main"), 32, 32);
        QTimer::singleShot(DefaultNodesDelayMs, this, &NodeView::initDefaultNodes);
    }

    d->loadNodes();
    for (auto& view : d->views)
        d->updateNodeRelations(view);

    QQmlComponent component(d->engine, QUrl(QStringLiteral("qrc:/qml/NodeCustomizer.qml")));
    if (component.isReady()) {
        d->customizer = component.create(d->engine->rootContext());
        if (d->customizer)
            d->customizer->setParent(this);
    } else {
        Logger::log(Logger::ERR1, "node customizer: %s", qUtf8Printable(component.errorString()));
    }

    if (PeerModel* model = NodeViewPrivate::peerModel())
        connect(model, &QAbstractItemModel::rowsInserted, this, &NodeView::onPeerModelChanged);

    d->rescaleCountdown = 0;
    d->rescaleTimer->start();

    QString last;
    {
        AppSettings appSettings;
        last = appSettings.settings()->value(QLatin1String(kLastSectorKey)).toString();
    }
    if (!d->selectSector(last))
        d->openView(0);

    onPeerModelChanged();
}

void NodeView::addSectorToView(const QString& vsectorUuid, const QString& name, double cx, double cy, double cw,
                               double ch, int x, int y)
{
    QQuickItem* stack = d->sectorStack();
    if (!stack)
        return;
    size_t index = 0;
    while (index < d->views.size() && d->views[index].uuid != vsectorUuid)
        ++index;
    if (index == d->views.size()) {
        d->views.emplace_back();
        d->views.back().uuid = vsectorUuid;
    }
    NodeViewPrivate::SectorView& view = d->views[index];
    view.name = name;

    if (!view.page) {
        QQmlComponent component(d->engine, QUrl(QStringLiteral("qrc:/qml/NodeViewSektor.qml")));
        QObject* object = component.isReady() ? component.create(d->engine->rootContext()) : nullptr;
        auto* page = qobject_cast<QQuickItem*>(object);
        if (!page) {
            Logger::log(Logger::ERR1, "sector page: %s", qUtf8Printable(component.errorString()));
            delete object;
            d->views.erase(d->views.begin() + long(index));
            return;
        }
        QQmlEngine::setObjectOwnership(page, QQmlEngine::CppOwnership);
        page->setParent(stack);
        page->setParentItem(stack);
        connect(page, SIGNAL(clickedEmptySpace()), this, SLOT(clickedEmptySpace()));
        connect(page, SIGNAL(contextMenuRequest()), this, SLOT(nodeViewContextMenuRequest()));
        view.page = page;
    }
    view.page->setProperty("contentX", cx);
    view.page->setProperty("contentY", cy);
    view.page->setProperty("contentWidth", cw);
    view.page->setProperty("contentHeight", ch);

    // Its tab in the strip: the stored sector row, else a new one.
    VNodeDto stripRow;
    bool found = false;
    for (const VNodeDto& row : d->db->getVNodes(vsectorUuid)) {
        if (row.vsectorUuid == vsectorUuid && row.type == QLatin1String("sector")) {
            stripRow = row;
            stripRow.name = shownSectorName(row.name);
            found = true;
            break;
        }
    }
    if (!found)
        stripRow = VNodeDto{ QUuid::createUuid().toString(),
                             nullUuid(),
                             vsectorUuid,
                             name,
                             QStringLiteral("sector0"),
                             QStringLiteral("%"),
                             QStringLiteral("sector"),
                             QString(),
                             0,
                             double(x),
                             double(y) };
    bool hasStripNode = false;
    for (GuiNode* node : d->rootView.nodes)
        hasStripNode =
            hasStripNode || (node->type() == QLatin1String("sector") && node->vsectorUuid() == vsectorUuid);
    GuiNode* newTab = nullptr;
    if (!hasStripNode) {
        GuiNode* node = d->createNode(&d->rootView, stripRow, d->styleSource());
        if (!found)
            newTab = node;
    }

    d->storeVSector(d->views[index]);
    // A new tab is stored at once (after its sector's row, which it names),
    // not only at the orderly end.
    if (newTab)
        newTab->save(d->db);
}

void NodeView::createNewVSector()
{
    const QPoint cursor = mapFromGlobal(QCursor::pos());
    //% "View %1"
    const QString name = qtTrId("label-new-nodeview").arg(d->views.size());
    d->createSector(name, cursor.x() - 40, cursor.y() - 24);
    if (d->rootView.nodes.empty())
        return;
    GuiNode* node = d->rootView.nodes.back();
    if (QQuickItem* item = node->item()) {
        item->forceActiveFocus();
        QMetaObject::invokeMethod(item, "rename");
    }
}

void NodeView::sectorNodeClicked()
{
    GuiNode* node = d->nodeOfItem(d->rootView, sender());
    if (node && node->type() == QLatin1String("sector"))
        d->selectSector(node->vsectorUuid());
}

void NodeView::onSectorNameEdited()
{
    auto* item = qobject_cast<QQuickItem*>(sender());
    GuiNode* node = item ? d->nodeOfItem(d->rootView, item) : nullptr;
    if (!node)
        return;
    const QString name = item->property("name").toString();
    node->save(d->db);
    for (auto& view : d->views) {
        if (view.uuid == node->vsectorUuid()) {
            view.name = name;
            d->storeVSector(view);
        }
    }
}

// ---------------------------------------------------------------- selection

void NodeView::nodeClicked()
{
    NodeViewPrivate::SectorView* view = d->viewOfSender(sender());
    if (!view)
        view = d->currentView();
    auto* item = qobject_cast<QQuickItem*>(sender());
    if (!view || !item)
        return;
    for (GuiNode* node : view->nodes) {
        if (node->item() && node->item() != item && node->item()->property("selected").toBool())
            node->item()->setProperty("selected", false);
    }
    d->deselectNodes(d->rootView);
    item->setProperty("selected", true);
    if (d->customizer)
        d->customizer->setProperty("node", QVariant::fromValue<QObject*>(item));
}

void NodeView::clickedEmptySpace()
{
    if (NodeViewPrivate::SectorView* view = d->findView(qobject_cast<QQuickItem*>(sender())))
        d->deselectNodes(*view);
    d->deselectNodes(d->rootView);
    if (d->customizer)
        d->customizer->setProperty("node", QVariant::fromValue<QObject*>(nullptr));
}

void NodeView::onNodeStyleSelected(const QVariant& style)
{
    QObject* object = style.value<QObject*>();
    NodeViewPrivate::SectorView* view = d->currentView();
    if (!object || !view)
        return;
    for (GuiNode* node : view->nodes) {
        if (node->item() && node->item()->property("selected").toBool()) {
            node->item()->setProperty("style", QVariant::fromValue<QObject*>(object));
            node->item()->setProperty("needSafe", true);
        }
    }
}


void NodeView::nodeViewContextMenuRequest()
{
    QAction* create = createSectorAction().data();
    if (!create)
        return;
    auto* menu = new QMenu(this);
    menu->setObjectName(QStringLiteral("nodeViewMenu"));
    menu->addAction(create);
    d->popup(menu);
}
