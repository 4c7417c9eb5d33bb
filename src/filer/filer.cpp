#include "filer/filer.h"
#include "filer/filer_p.h"

#include "core/logger.h"
#include "desktop/applauncher.h"
#include "filer/filerhub.h"
#include "filer/filericonview.h"
#include "filer/filertreeview.h"
#include "filer/sharedactions.h"
#include "filer/topnavigation.h"
#include "jobs/vfsmanager.h"
#include "jobs/vfsjobmodel.h"
#include "models/vfsmodel.h"
#include "models/vfssortfilterproxymodel.h"
#include "peer/ipeer.h"
#include "peer/peermodel.h"
#include "share/shareopener.h"
#include "vfs/client/vfsclient.h"

#include <QAction>
#include <QApplication>
#include <QCloseEvent>
#include <QDropEvent>
#include <QItemSelectionModel>
#include <QLabel>
#include <QMimeData>
#include <QMouseEvent>
#include <QQmlEngine>
#include <QQuickItem>
#include <QQuickWidget>
#include <QStackedWidget>
#include <QStatusBar>
#include <QUrl>
#include <QVBoxLayout>
#include <QWheelEvent>

static void initFilerPages()
{
    // The peer's models reach QML through properties of this type.
    qRegisterMetaType<QAbstractItemModel*>("QAbstractItemModel*");
    Q_INIT_RESOURCE(filer);
}

namespace {
// Connects a signal of a QML root to a slot of the Filer when the root has it.
void connectRoot(QObject* root, const char* signal, QObject* receiver, const char* slot)
{
    if (!root)
        return;
    const QByteArray normalized = QMetaObject::normalizedSignature(signal + 1);
    if (root->metaObject()->indexOfSignal(normalized.constData()) < 0) {
        Logger::log(Logger::ERR1, "qml root lacks signal %s", normalized.constData());
        return;
    }
    QObject::connect(root, signal, receiver, slot);
}
} // namespace

// ---- FilerPrivate ----------------------------------------------------------

VfsManager* FilerPrivate::transfers() const
{
    return hub ? hub->jobs() : vfsManager;
}

VfsModel* FilerPrivate::model() const
{
    return peer ? qobject_cast<VfsModel*>(peer->vfsFileSystemModel()) : nullptr;
}

QModelIndex FilerPrivate::sourceRoot() const
{
    if (!currentView || !proxy || !peer)
        return QModelIndex();
    return proxy->mapToSource(currentView->rootIndex());
}

void FilerPrivate::setBreadCrumbProperty(const char* name, const QVariant& value)
{
    if (topNavigation && topNavigation->rootObject())
        topNavigation->rootObject()->setProperty(name, value);
}

void FilerPrivate::releaseRetained()
{
    if (retainedModel && !retainedPath.isEmpty())
        retainedModel->releaseEntry(retainedPath);
    retainedModel = nullptr;
    retainedPath.clear();
}

bool FilerPrivate::isActive() const
{
    return hub && hub->activeFiler() == q;
}

bool FilerPrivate::act(const QString& what)
{
    ++actionsReached;
    if (!isActive())
        return false;
    actedOn << what;
    return true;
}

// ---- construction ----------------------------------------------------------

Filer::Filer() : QWidget(nullptr) {}

Filer::Filer(QQmlEngine* engine, IDatabase* database, FilerHub* hub, QWidget* parent)
    : QWidget(parent), d(new FilerPrivate(this))
{
    initFilerPages();
    setObjectName(QStringLiteral("Filer"));
    d->hub = hub;
    d->database = database;
    d->engine = engine;
    d->clipboard = hub ? hub->clipboard() : nullptr;

    // 1. Layouts and the page stack.
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);
    auto* inner = new QVBoxLayout;
    inner->setContentsMargins(0, 0, 0, 0);
    inner->setSpacing(0);
    d->pages = new QStackedWidget(this);
    d->pages->setContentsMargins(0, 0, 0, 0);
    setContentsMargins(0, 0, 0, 0);

    // 2. The hub.
    if (hub)
        connect(hub, &FilerHub::activeFilerChanged, this, &Filer::onActiveFilerChanged);

    // 3, 4. The peer page, first in the stack.
    d->peerViewPage = new QQuickWidget(engine, this);
    d->peerViewPage->setObjectName(QStringLiteral("peerViewPage"));
    d->peerViewPage->setResizeMode(QQuickWidget::SizeRootObjectToView);
    d->peerViewPage->setSource(QUrl(QStringLiteral("qrc:/qml/PeerView.qml")));
    d->peerViewPage->setMinimumSize(320, 480);
    d->peerViewRoot = d->peerViewPage->rootObject();
    connectRoot(d->peerViewRoot, SIGNAL(pathClicked(QString)), this, SLOT(gotoPath(QString)));
    connectRoot(d->peerViewRoot, SIGNAL(editPeerAclClicked(QString, QString)), this,
                SLOT(onEditPeerAcl(QString, QString)));
    d->peerViewPage->installEventFilter(this);
    d->peerViewAction = new QAction(this);
    d->peerViewAction->setCheckable(true);
    addAction(d->peerViewAction);
    connect(d->peerViewAction, &QAction::triggered, this, &Filer::showPeerView);
    d->pages->addWidget(d->peerViewPage);

    // 5. The files page.
    d->filesPage = new QWidget(this);
    d->filesPage->setObjectName(QStringLiteral("filesPage"));
    d->filesPage->setContentsMargins(0, 0, 0, 0);
    auto* filesLayout = new QVBoxLayout(d->filesPage);
    filesLayout->setContentsMargins(0, 0, 0, 0);
    filesLayout->setSpacing(0);

    // 6. The machine list, second in the stack.
    d->machineListPage = new QQuickWidget(engine, this);
    d->machineListPage->setObjectName(QStringLiteral("machineListPage"));
    d->machineListPage->setResizeMode(QQuickWidget::SizeRootObjectToView);
    d->machineListPage->setSource(QUrl(QStringLiteral("qrc:/qml/MachineList.qml")));
    d->machineListPage->setMinimumSize(180, 480);
    d->machineListPage->setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Expanding);
    d->machineListPage->installEventFilter(this);
    d->pages->addWidget(d->machineListPage);
    d->machineListAction = new QAction(this);
    d->machineListAction->setCheckable(true);
    addAction(d->machineListAction);
    connect(d->machineListAction, &QAction::triggered, this, &Filer::showMachineList);
    if (QObject* root = d->machineListPage->rootObject()) {
        if (root->metaObject()->indexOfSignal("peerSelected(IPeer*)") >= 0)
            connect(root, SIGNAL(peerSelected(IPeer*)), this, SLOT(onMachineListPeerClicked(IPeer*)));
        else
            connectRoot(root, SIGNAL(peerSelected(QObject*)), this, SLOT(onMachineListPeerClicked(IPeer*)));
    }

    // 7. The breadcrumb bar.
    d->topNavigation = new TopNavigation(engine, this);
    d->topNavigation->setObjectName(QStringLiteral("topNavigation"));
    if (QObject* root = d->topNavigation->rootObject()) {
        root->setProperty("togglePeerViewAction", QVariant::fromValue<QObject*>(d->peerViewAction));
        connectRoot(root, SIGNAL(indexClicked(int)), this, SLOT(onBreadCrumpClicked(int)));
        connectRoot(root, SIGNAL(driveClicked(QString)), this, SLOT(onBreadCrumpDriveClicked(QString)));
        connectRoot(root, SIGNAL(pathEdited(QString)), this, SLOT(onBreadCrumpPathEdited(QString)));
        connectRoot(root, SIGNAL(implicitHeightChanged()), this, SLOT(adjustBreadCrumpHeight()));
        connectRoot(root, SIGNAL(peerClicked()), this, SLOT(showPeerView()));
        connectRoot(root, SIGNAL(backToFilesClicked()), this, SLOT(showFilesView()));
        connectRoot(root, SIGNAL(upClicked()), this, SLOT(onUpClicked()));
        connectRoot(root, SIGNAL(backClicked()), this, SLOT(onBackClicked()));
        connectRoot(root, SIGNAL(forwardClicked()), this, SLOT(onForwardClicked()));
        connectRoot(root, SIGNAL(machineListClicked()), this, SLOT(showMachineList()));
        connectRoot(root, SIGNAL(homeClicked()), this, SLOT(onHomeClicked()));
        connectRoot(root, SIGNAL(columModeClicked()), this, SLOT(viewAsColumns()));
        connectRoot(root, SIGNAL(iconModeClicked()), this, SLOT(viewAsIcons()));
        for (const char* name : { "peerViewActivated()", "machineListActivated()", "filesViewActivated()" }) {
            const QByteArray signal = QByteArray("2") + name;
            if (root->metaObject()->indexOfSignal(name) >= 0)
                connect(this, signal.constData(), root, signal.constData());
        }
    }
    // Ctrl+L opens the bar's path field.
    auto* editPathAction = new QAction(this);
    editPathAction->setObjectName(QStringLiteral("editPathAction"));
    editPathAction->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_L));
    editPathAction->setShortcutContext(Qt::WidgetWithChildrenShortcut);
    addAction(editPathAction);
    connect(editPathAction, &QAction::triggered, this, [this] {
        QObject* root = d && d->topNavigation ? d->topNavigation->rootObject() : nullptr;
        if (root && root->metaObject()->indexOfMethod("editPath()") >= 0)
            QMetaObject::invokeMethod(root, "editPath");
    });
    d->topNavigation->setResizeMode(QQuickWidget::SizeViewToRootObject);
    d->topNavigation->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Preferred);
    d->topNavigation->installEventFilter(this);
    inner->addWidget(d->topNavigation);
    inner->addWidget(d->pages);

    // 8, 9. The tree view with the size actions.
    d->treeView = new FilerTreeView(this);
    d->treeView->setObjectName(QStringLiteral("FilerTreeView"));
    d->treeView->setAnimated(false);
    d->treeView->setSelectionMode(QAbstractItemView::ExtendedSelection);
    connect(d->treeView, &FilerTreeView::viewActivated, this, &Filer::activated);
    connect(d->treeView, &QAbstractItemView::activated, this, &Filer::onActivated);
    connect(d->treeView, &FilerTreeView::clearDropTarget, this, &Filer::clearDropTargetPath);
    d->treeView->viewport()->installEventFilter(this);
    filesLayout->addWidget(d->treeView);
    //% "Larger"
    d->largerAction = new QAction(qtTrId("action-larger"), this);
    d->largerAction->setShortcut(QKeySequence::ZoomIn);
    d->largerAction->setShortcutContext(Qt::WidgetShortcut);
    //% "Smaller"
    d->smallerAction = new QAction(qtTrId("action-smaller"), this);
    d->smallerAction->setShortcut(QKeySequence::ZoomOut);
    d->smallerAction->setShortcutContext(Qt::WidgetShortcut);
    d->treeView->addAction(d->largerAction);
    d->treeView->addAction(d->smallerAction);

    // 10. The icon view.
    d->iconView = new FilerIconView(this);
    connect(d->iconView, &FilerIconView::viewActivated, this, &Filer::activated);
    connect(d->iconView, &QAbstractItemView::activated, this, &Filer::onActivated);
    connect(d->iconView, &FilerIconView::clearDropTarget, this, &Filer::clearDropTargetPath);
    d->iconView->addAction(d->largerAction);
    d->iconView->addAction(d->smallerAction);
    d->iconView->viewport()->installEventFilter(this);
    filesLayout->addWidget(d->iconView);

    // 11. The status bar; the files page is third in the stack.
    d->statusBar = new QStatusBar(d->filesPage);
    d->statusBar->setSizeGripEnabled(false);
    d->statusLabel = new QLabel(d->statusBar);
    d->statusLabel->setTextFormat(Qt::PlainText);
    d->statusLabel->setContentsMargins(0, 0, 24, 0);
    d->statusBar->addPermanentWidget(d->statusLabel);
    d->selectionLabel = new QLabel(d->statusBar);
    d->selectionLabel->setTextFormat(Qt::PlainText);
    d->statusBar->addWidget(d->selectionLabel, 1);
    filesLayout->addWidget(d->statusBar);
    d->pages->addWidget(d->filesPage);

    // 12. The job starter.
    // Copy jobs live beside the job model, on the network thread.
    d->vfsManager = new VfsManager(PeerModel::instance(), VfsJobModel::instance(), this);
    if (d->hub)
        d->hub->jobs(); // made now, so that the first paste finds it
    // The launcher belongs to the window, which makes it before its Filers;
    // a Filer never makes one of its own (it would outlive the database).
    AppLauncher* launcher = AppLauncher::current();
    if (launcher)
        connect(launcher, &AppLauncher::deferAppLaunch, this, &Filer::onDeferAppLaunch);

    // 13. One proxy, one selection model.
    d->proxy = new VfsSortFilterProxyModel(this);
    d->selectionModel = new QItemSelectionModel(d->proxy, this);
    d->treeView->setModel(d->proxy);
    d->treeView->setSelectionModel(d->selectionModel);
    d->iconView->setModel(d->proxy);
    d->iconView->setSelectionModel(d->selectionModel);
    connect(d->selectionModel, &QItemSelectionModel::selectionChanged, this, &Filer::onSelectionChanged);
    // A directory entered before its listing came: once its first rows are
    // there, the keys have a current row to start from.
    // Until the user moves, that row stays the first one as rows sort in.
    connect(d->proxy, &QAbstractItemModel::rowsInserted, this, [this](const QModelIndex& parent) {
        if (!d->currentView || parent != d->currentView->rootIndex())
            return;
        const QModelIndex current = d->selectionModel->currentIndex();
        const bool untouched = current.isValid() && current == QModelIndex(d->autoCurrent)
                               && !d->selectionModel->hasSelection();
        if (current.isValid() && !untouched)
            return;
        const QModelIndex first = d->proxy->index(0, 0, parent);
        if (first.isValid() && first != current) {
            d->selectionModel->setCurrentIndex(first, QItemSelectionModel::Clear | QItemSelectionModel::Current
                                                          | QItemSelectionModel::Rows);
            d->autoCurrent = first;
        }
    });

    // 14.
    layout->addLayout(inner);
    connect(this, &Filer::pathChanged, this, &Filer::onPathChanged);

    // 15. The shared actions; the slots act only in the active Filer.
    auto connectAction = [this](QAction* action, void (Filer::*slot)()) {
        if (action)
            connect(action, &QAction::triggered, this, slot);
    };
    connectAction(SharedActions::cut, &Filer::onCopyActionTriggered);
    connectAction(SharedActions::copy, &Filer::onCopyActionTriggered);
    connectAction(SharedActions::paste, &Filer::onPasteActionTriggered);
    connectAction(SharedActions::trash, &Filer::onTrashActionTriggered);
    connectAction(SharedActions::deleteItems, &Filer::onDeleteActionTriggered);
    connectAction(SharedActions::extract, &Filer::onExtractActionTriggered);
    connectAction(SharedActions::newFolder, &Filer::onNewFolderActionTriggered);
    connectAction(SharedActions::rename, &Filer::onRenameActionTriggered);
    connectAction(SharedActions::clearMarked, &Filer::clearMarkedFiles);
    connectAction(SharedActions::showProperties, &Filer::onShowPropertiesActionTriggered);
    connectAction(SharedActions::showInExplorer, &Filer::onShowInExplorerActionTriggered);
    connectAction(SharedActions::viewIcons, &Filer::viewAsIcons);
    connectAction(SharedActions::viewList, &Filer::viewAsList);
    connectAction(SharedActions::viewColumns, &Filer::viewAsColumns);
    if (SharedActions::showHidden)
        connect(SharedActions::showHidden, &QAction::triggered, this, [this](bool show) {
            // Every Filer follows the one switch.
            filterHidden(show);
        });

    // A launch that failed shows in the active Filer's status bar.
    if (launcher)
        connect(launcher, &AppLauncher::launchFailed, this, &Filer::onLaunchFailed);

    // 16.
    connect(d->largerAction, &QAction::triggered, this, &Filer::increaseItemSize);
    connect(d->smallerAction, &QAction::triggered, this, &Filer::decreaseItemSize);

    // 17.
    setViewMode(ViewColumns);
}

Filer::~Filer()
{
    if (!d)
        return;
    // The use of the shown directory goes back to the model it came from.
    d->releaseRetained();
    if (d->peer)
        d->peer->setActiveDisplay(false);
}

// ---- plain accessors --------------------------------------------------------

IPeer* Filer::peer() const { return d ? d->peer.data() : nullptr; }
int Filer::viewMode() const { return d ? d->viewMode : ViewNone; }
bool Filer::isStandalone() const { return windowFlags() & Qt::Window; }
QString Filer::uuid() const { return d ? d->uuid : QString(); }
void Filer::setUuid(const QString& uuid)
{
    if (d)
        d->uuid = uuid;
}
QList<FilerHistoryEntry> Filer::history() const
{
    return d ? QList<FilerHistoryEntry>(d->history.begin(), d->history.end()) : QList<FilerHistoryEntry>();
}
QString Filer::pendingPath() const { return d ? d->pendingPath : QString(); }
QStackedWidget* Filer::pages() const { return d ? d->pages : nullptr; }
QWidget* Filer::filesPage() const { return d ? d->filesPage : nullptr; }
QQuickWidget* Filer::peerViewPage() const { return d ? d->peerViewPage : nullptr; }
QQuickWidget* Filer::machineListPage() const { return d ? d->machineListPage : nullptr; }
QQuickWidget* Filer::topNavigation() const { return d ? d->topNavigation : nullptr; }
QAbstractItemView* Filer::currentView() const { return d ? d->currentView : nullptr; }
FilerTreeView* Filer::treeView() const { return d ? d->treeView : nullptr; }
FilerIconView* Filer::iconView() const { return d ? d->iconView : nullptr; }
VfsSortFilterProxyModel* Filer::proxy() const { return d ? d->proxy : nullptr; }
QItemSelectionModel* Filer::selectionModel() const { return d ? d->selectionModel : nullptr; }
QList<int> Filer::visibleColumns() const
{
    return d ? QList<int>(d->visibleColumns.begin(), d->visibleColumns.end()) : QList<int>();
}
QString Filer::retainedPath() const { return d ? d->retainedPath : QString(); }
int Filer::actionsReached() const { return d ? d->actionsReached : 0; }
QStringList Filer::actedOn() const { return d ? d->actedOn : QStringList(); }

void Filer::showStatusMessage(const QString& text, int timeout)
{
    if (d && d->statusBar)
        d->statusBar->showMessage(text, timeout);
}

// ---- the peer ----------------------------------------------------------------

void Filer::setPeer(IPeer* peer)
{
    if (!d || peer == d->peer)
        return;
    if (IPeer* old = d->peer) {
        if (QObject* model = old->vfsFileSystemModel())
            disconnect(model, nullptr, this, nullptr);
        if (QObject* client = old->vfsClient())
            disconnect(client, nullptr, this, nullptr);
        disconnect(old, nullptr, this, nullptr);
        old->setActiveDisplay(false);
    }
    // The shown directory's use belongs to the old model; the views leave it.
    d->releaseRetained();
    d->pendingPath.clear();
    d->retriedPath.clear();
    d->selectionModel->clear();
    d->setBreadCrumbProperty("peer", QVariant::fromValue<QObject*>(peer));
    d->setBreadCrumbProperty("filer", QVariant::fromValue<QObject*>(this));
    Logger::log(Logger::NFO2, "filer set peer %p", static_cast<void*>(peer));

    d->peer = peer;
    emit peerChanged();
    if (!peer) {
        d->proxy->setSourceModel(nullptr);
        return;
    }
    peer->setActiveDisplay(true);

    VfsModel* model = d->model();
    if (model) {
        connect(model, &VfsModel::pathResolved, this, &Filer::onPathResolved, Qt::QueuedConnection);
        connect(model, &VfsModel::renameRequest, this, &Filer::onRenameEditDone);
        connect(model, &QAbstractItemModel::dataChanged, this, &Filer::onVfsModelDataChanged);
    }
    // New-folder and rename answers reach this Filer through its request
    // list, which follows the client each request went to.
    connect(peer, &IPeer::linkStateChanged, this, &Filer::onPeerLinkStateChanged);

    if (d->peerViewRoot)
        d->peerViewRoot->setProperty("peer", QVariant::fromValue<QObject*>(peer));
    peer->connectVfs();

    d->proxy->setSourceModel(model);
    d->proxy->sort(0, Qt::AscendingOrder);
    d->treeView->setUniformRowHeights(true);
    for (int column = 0; column < VfsModel::ColumnCount; ++column) {
        const bool visible = std::find(d->visibleColumns.begin(), d->visibleColumns.end(), column)
                             != d->visibleColumns.end();
        d->treeView->setColumnHiddenPolished(column, !visible);
    }
    emit pathChanged();
    if (model)
        model->fetchMore(QModelIndex());
    if (d->pages->currentWidget() == d->peerViewPage)
        setWindowTitle(peer->displayName().isEmpty() ? peer->name() : peer->displayName());
}

void Filer::onPeerLinkStateChanged()
{
    if (d->peer && d->pages->currentWidget() == d->filesPage)
        updateFileActions();
}

void Filer::onVfsModelDataChanged(const QModelIndex&, const QModelIndex&, const QVector<int>& roles)
{
    if (roles.contains(VfsModel::ChildSizeRole))
        updateFileActions();
}

void Filer::onSelectionChanged(const QItemSelection&, const QItemSelection&)
{
    updateFileActions();
}

// ---- pages -------------------------------------------------------------------

void Filer::showFilesView()
{
    Logger::log(Logger::NFO2, "show files view");
    if (d->pages->currentWidget() != d->filesPage) {
        d->peerViewAction->setChecked(false);
        d->machineListAction->setChecked(false);
        d->pages->setCurrentWidget(d->filesPage);
        emit listerVisibilityChanged();
        emit filesViewActivated();
    }
    updateFileActions();
}

void Filer::showPeerView()
{
    if (d->pages->currentWidget() == d->peerViewPage)
        return;
    Logger::log(Logger::NFO2, "show peer view checked %d", int(d->peerViewAction->isChecked()));
    d->peerViewAction->setChecked(true);
    d->machineListAction->setChecked(false);
    d->pages->setCurrentWidget(d->peerViewPage);
    emit listerVisibilityChanged();
    emit peerViewActivated();
    if (d->peer) {
        setWindowTitle(d->peer->displayName().isEmpty() ? d->peer->name() : d->peer->displayName());
        pushHistory(FilerHistoryEntry{ d->peer->uuid(), path() });
    }
    updateFileActions();
}

void Filer::showMachineList()
{
    Logger::log(Logger::NFO2, "show machine list checked %d", int(d->machineListAction->isChecked()));
    if (d->pages->currentWidget() == d->machineListPage)
        return;
    d->machineListAction->setChecked(true);
    d->peerViewAction->setChecked(false);
    d->pages->setCurrentWidget(d->machineListPage);
    emit listerVisibilityChanged();
    emit machineListActivated();
    //% "Network"
    setWindowTitle(qtTrId("place-network"));
    if (d->peer)
        pushHistory(FilerHistoryEntry{ d->peer->uuid(), QStringLiteral("%machinelist") });
    updateFileActions();
}

void Filer::onPeerButtonClicked()
{
    showPeerView();
}

void Filer::onMachineListPeerClicked(IPeer* peer)
{
    setPeer(peer);
    if (d->pages->currentWidget() != d->peerViewPage)
        showPeerView();
}

// ---- events --------------------------------------------------------------------

bool Filer::event(QEvent* e)
{
    if (d) {
        switch (e->type()) {
        case QEvent::Resize:
            adjustBreadCrumpHeight();
            break;
        case QEvent::WindowActivate:
            Logger::log(Logger::NFO2, "filer window activate: %s (standalone: %u)", qUtf8Printable(path()),
                        unsigned(isStandalone()));
            if (isStandalone())
                emit activated();
            break;
        case QEvent::WindowDeactivate:
            Logger::log(Logger::NFO2, "filer window deactivate: %s", qUtf8Printable(path()));
            break;
        default:
            break;
        }
    }
    return QWidget::event(e);
}

bool Filer::eventFilter(QObject* watched, QEvent* e)
{
    if (!d)
        return false;
    const bool onView = d->currentView && watched == d->currentView->viewport();
    switch (e->type()) {
    case QEvent::MouseButtonPress: {
        auto* mouse = static_cast<QMouseEvent*>(e);
        Logger::log(Logger::NFO2, "mouse press: %d", int(mouse->button()));
        if (!d->isActive())
            emit activated();
        d->pressPos = mouse->localPos().toPoint();
        break;
    }
    case QEvent::MouseButtonRelease: {
        auto* mouse = static_cast<QMouseEvent*>(e);
        if (mouse->button() == Qt::RightButton) {
            const QPoint delta = mouse->localPos().toPoint() - d->pressPos;
            const int dx = delta.x();
            const int dy = delta.y();
            Logger::log(Logger::NFO2, "manhatten length: %d, %d %d", delta.manhattanLength(), dx, dy);
            if (qAbs(dx) + qAbs(dy) < 16) {
                if (onView)
                    onCustomContextMenuRequested(mouse->pos());
            } else {
                d->pressPos = QPoint();
                if (qAbs(dx) > 29) {
                    if (dx < -50 && qAbs(dy) < 30)
                        onBackClicked();
                } else if (dy > 50) {
                    if (SharedActions::showNodeView)
                        SharedActions::showNodeView->trigger();
                } else if (dy < -50) {
                    onUpClicked();
                }
            }
        } else if (mouse->button() == Qt::MiddleButton && onView) {
            const QString item = currentItemPath();
            if (!item.isEmpty() && d->peer)
                emit newTabRequest(d->peer->uuid(), item);
        }
        break;
    }
    case QEvent::Wheel: {
        auto* wheel = static_cast<QWheelEvent*>(e);
        if (onView && (wheel->modifiers() & Qt::ControlModifier))
            return viewWheelEvent(wheel);
        break;
    }
    default:
        break;
    }
    return false;
}

void Filer::keyReleaseEvent(QKeyEvent* e)
{
    if (d && d->currentView && d->currentView->hasFocus()) {
        const Qt::KeyboardModifiers mods = e->modifiers() & ~Qt::KeypadModifier;
        if ((e->key() == Qt::Key_Backspace && mods == Qt::NoModifier)
            || (e->key() == Qt::Key_Up && mods == Qt::AltModifier))
            onUpClicked();
        else if (e->key() == Qt::Key_Left && mods == Qt::AltModifier)
            onBackClicked();
        else if (e->key() == Qt::Key_Space && mods == Qt::NoModifier && !e->isAutoRepeat())
            requestPreviewOfSelection();
    }
    QWidget::keyReleaseEvent(e);
}

void Filer::closeEvent(QCloseEvent* e)
{
    if (isStandalone())
        emit aboutToClose();
    QWidget::closeEvent(e);
}
