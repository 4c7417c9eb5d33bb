#include "window/mainwindow.h"
#include "window/mainwindow_menus_p.h"

#include "core/appsettings.h"
#include "core/idatabase.h"
#include "core/logger.h"
#include "desktop/applauncher.h"
#include "filer/filer.h"
#include "filer/fileractiontable.h"
#include "filer/filerhub.h"
#include "filer/filerpane.h"
#include "filer/sharedactions.h"
#include "jobs/vfsjob.h"
#include "jobs/vfsjobmodel.h"
#include "jobwindow/jobwindows.h"
#include "manager/connectionmanager.h"
#include "models/vfsdrivemodel.h"
#include "models/vfsmodel.h"
#include "nodeview/nodeview.h"
#include "peer/invitationmodel.h"
#include "peer/ipeer.h"
#include "peer/peeraclmodel.h"
#include "peer/peermodel.h"
#include "peer/peervelm.h"
#include "preview/previewwindow.h"
#include "quick/iconlistmodel.h"
#include "quick/qmlnetworkguard.h"
#include "quick/themeimageprovider.h"
#include "quick/themeloader.h"
#include "share/sharemenus.h"
#include "share/sharewithdialog.h"
#include "update/aboutdialog.h"
#include "update/updatenotification.h"
#include "update/updater.h"
#include "update/updatesource.h"

#include <QAction>
#include <QApplication>
#include <QCloseEvent>
#include <QFileInfo>
#include <QFontMetrics>
#include <QItemSelectionModel>
#include <QFontDatabase>
#include <QImageReader>
#include <QMenu>
#include <QMenuBar>
#include <QPixmapCache>
#include <QPointer>
#include <QQmlContext>
#include <QQmlEngine>
#include <QQuickStyle>
#include <QQuickView>
#include <QQuickWindow>
#include <QSGRendererInterface>
#include <QScreen>
#include <QSettings>
#include <QSplitter>
#include <QStackedWidget>
#include <QStandardPaths>
#include <QTimer>
#include <QVBoxLayout>
#include <QtQml>

namespace {
// Icons and previews are cached as pixmaps; a bound the cache can reach.
constexpr int kPixmapCacheKb = 64 * 1024;
constexpr int kUpdaterDelayMs = 10000;
} // namespace

class MainWindowPrivate
{
public:
    ConnectionManager* connectionManager = nullptr;
    QQuickView* quickView = nullptr; // owned; deleted after every QML surface
    IDatabase* database = nullptr;
    FilerHub* filerHub = nullptr;
    QList<FilerPane*> filerPanes;
    QAction* tabAction = nullptr;
    QSplitter* splitter = nullptr;
    NodeView* nodeView = nullptr;
    QWidget* nodeViewPage = nullptr;
    PreviewWindow* preview = nullptr; // owned; a window of its own
    QStackedWidget* rightStack = nullptr;
    QString previewPath;
    bool networkEnabled = false;
    QPointer<Updater> updater;
    UpdateNotification* updateNotification = nullptr;
    JobWindows* jobWindows = nullptr; // owned; its windows go before the engine
    QObject* theme = nullptr; // the "Theme" object; a child of the engine
    bool builtInTheme = false;
    bool sessionRestored = false;
    bool closing = false;
};

MainWindow::DefaultGeometry MainWindow::defaultGeometry(const QSize& available)
{
    const int W = available.width();
    const int H = available.height();
    int w = qRound(0.7 * W);
    int h = qRound(0.7 * H);
    if (w > 1440) {
        h = qRound(h * (1440.0 / w));
        w = 1440;
    }
    DefaultGeometry geometry;
    geometry.rect = QRect((W - w) / 2, (H - h) / 2, w, h);
    if (w > 400) {
        const int left = int(0.45 * w);
        geometry.splitterSizes = { left, w - left };
    }
    return geometry;
}

MainWindow::MainWindow(ConnectionManager* connectionManager, IDatabase* database, QWidget* parent)
    : QMainWindow(parent), d(new MainWindowPrivate)
{
    setObjectName(QStringLiteral("mainWindow"));
    setWindowTitle(QStringLiteral("%1").arg(QCoreApplication::applicationName()));

    QCoreApplication::addLibraryPath(QCoreApplication::applicationDirPath() + QStringLiteral("/plugins"));
    for (const QString& path : QCoreApplication::libraryPaths())
        Logger::log(Logger::NFO1, "library path: %s", qUtf8Printable(path));
    for (const QByteArray& format : QImageReader::supportedImageFormats())
        Logger::log(Logger::NFO1, "supported image format: %s", format.constData());

    QPixmapCache::setCacheLimit(kPixmapCacheKb);
    ThemeLoader::initResources();
    ShareWithDialog::initResources();
    setWindowIcon(QIcon(QStringLiteral(":/icons/app-icon.svg")));

    QPalette palette = QApplication::palette();
    palette.setColor(QPalette::Active, QPalette::Highlight, QColor(QStringLiteral("#5294e2")));
    palette.setColor(QPalette::Inactive, QPalette::Highlight, palette.color(QPalette::Midlight));
    QApplication::setPalette(palette);

    d->connectionManager = connectionManager;
    d->database = database;
    // The launcher keeps its applications in this window's database: it
    // lives no longer than the window.
    if (!AppLauncher::current())
        new AppLauncher(this);
    d->filerHub = new FilerHub(this);
    connect(d->filerHub, &FilerHub::activeFilerChanged, this, &MainWindow::onActiveFilerSelection);
    if (FilerActionTable::rows().isEmpty())
        FilerActionTable::build();

    createSharedActions();

    // Once per process: a second window (tests) comes after QML has loaded.
    static const bool styled = [] {
        QQuickStyle::setStyle(QStringLiteral("Fusion"));
        return true;
    }();
    Q_UNUSED(styled);
    registerQmlTypes();

    d->quickView = new QQuickView();
    d->quickView->setResizeMode(QQuickView::SizeRootObjectToView);
    QmlNetworkGuard::install(d->quickView->engine());
    QQmlContext* context = d->quickView->rootContext();
    context->setContextProperty(QStringLiteral("filerNewWindowAction"), SharedActions::newWindow);
    context->setContextProperty(QStringLiteral("filerShowAlternateFilerAction"), SharedActions::showAlternateFiler);
    context->setContextProperty(QStringLiteral("filerShowNodeViewAction"), SharedActions::showNodeView);
    context->setContextProperty(QStringLiteral("filerCopyAction"), SharedActions::copy);
    context->setContextProperty(QStringLiteral("filerPasteAction"), SharedActions::paste);
    context->setContextProperty(QStringLiteral("filerTrashAction"), SharedActions::trash);
    context->setContextProperty(QStringLiteral("filerNewFolderAction"), SharedActions::newFolder);
    context->setContextProperty(QStringLiteral("filerRenameAction"), SharedActions::rename);
    context->setContextProperty(QStringLiteral("filerClearMarkedAction"), SharedActions::clearMarked);
    context->setContextProperty(QStringLiteral("mainWindow"), this);
    context->setContextProperty(QStringLiteral("appLauncher"), AppLauncher::instance());

    loadFirstTheme();

    context->setContextProperty(QStringLiteral("peerModel"), PeerModel::instance());
    context->setContextProperty(QStringLiteral("invitationModel"), InvitationModel::instance());

    for (const char* name : { "filerPaneLeft", "filerPaneRight" }) {
        auto* pane = new FilerPane(engine(), database, d->filerHub, this);
        pane->setObjectName(QLatin1String(name));
        connectFilerPane(pane);
    }
    d->filerHub->setActiveFilerPane(d->filerPanes.first());

    d->rightStack = new QStackedWidget(this);
    d->rightStack->setObjectName(QStringLiteral("rightStack"));
    d->nodeViewPage = new QWidget(d->rightStack);
    d->nodeViewPage->setObjectName(QStringLiteral("nodeViewPage"));
    auto* pageLayout = new QVBoxLayout(d->nodeViewPage);
    pageLayout->setContentsMargins(0, 0, 0, 0);
    pageLayout->setSpacing(1);
    d->updateNotification = new UpdateNotification(d->nodeViewPage);
    pageLayout->addWidget(d->updateNotification);
    d->nodeView = new NodeView(engine(), database, d->rightStack);
    pageLayout->addWidget(d->nodeView);
    context->setContextProperty(QStringLiteral("nodeView"), d->nodeView);
    connect(d->nodeView, &NodeView::peerClicked, this, &MainWindow::onPeerSelected2);
    connect(d->nodeView, &NodeView::nodeDoubleClicked, this, &MainWindow::onPeerPathSelected2);
    connect(d->nodeView, &NodeView::previewRequest, this, &MainWindow::showPreview);
    connect(d->nodeView, &NodeView::activateAlternateFilerpane, this, &MainWindow::showAlternateFilerPane);
    connect(d->nodeView, &NodeView::createNewWindow, SharedActions::newWindow, &QAction::trigger);
    connect(d->nodeView, &NodeView::createNewTab, this, [] {
        if (SharedActions::newTab)
            SharedActions::newTab->trigger();
    });

    d->preview = new PreviewWindow(engine(), database);
    d->jobWindows = new JobWindows(engine());
    connect(d->preview, &PreviewWindow::showPrevious, this, &MainWindow::onShowPreviousPreview);
    connect(d->preview, &PreviewWindow::showNext, this, &MainWindow::onShowNextPreview);
    connect(d->preview, &PreviewWindow::requestClose, this, &MainWindow::onPreviewClosed);

    d->rightStack->addWidget(d->filerPanes.last());
    d->rightStack->addWidget(d->nodeViewPage);
    d->rightStack->setCurrentWidget(d->nodeViewPage);

    d->splitter = new QSplitter(this);
    d->splitter->setObjectName(QStringLiteral("splitter"));
    d->splitter->setChildrenCollapsible(false);
    d->splitter->addWidget(d->filerPanes.first());
    d->splitter->addWidget(d->rightStack);
    setCentralWidget(d->splitter);

    restoreWindowState();

    if (connectionManager) {
        // Queued: the manager announces its start from the io thread.
        connect(connectionManager, &ConnectionManager::started, this, &MainWindow::restoreSession,
                Qt::QueuedConnection);
        connect(this, &MainWindow::networkEnabledChanged, connectionManager, &ConnectionManager::setNetworkEnabled,
                Qt::QueuedConnection);
    }
    connect(this, &MainWindow::networkEnabledChanged, this, &MainWindow::updateRemoteMenu);
    createMenus();
}

MainWindow::~MainWindow()
{
    // Every QML surface goes before the engine it was made on: the preview
    // window, the node view and the panes (with whatever QML their Filers
    // show), then the hidden view and with it the engine, the theme and the
    // image provider.
    delete d->jobWindows;
    d->jobWindows = nullptr;
    delete d->preview;
    d->preview = nullptr;
    delete d->updater;
    delete d->splitter;
    d->splitter = nullptr;
    d->filerPanes.clear();
    d->nodeView = nullptr;
    delete SharedActions::extract; // made without a parent
    // What the surfaces handed over for later deletion (textures of their
    // scene graphs) goes now: after the event loop has ended nothing else
    // would delete it.
    destroyMenus();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    delete d->quickView;
    d->quickView = nullptr;
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
}

void MainWindow::createSharedActions()
{
    auto fromTable = [this](QPointer<QAction>& slot, const char* id) {
        slot = FilerActionTable::createAction(QLatin1String(id), this);
        return slot.data();
    };
    fromTable(SharedActions::cut, "filer.cut")->setEnabled(false);
    fromTable(SharedActions::copy, "filer.copy")->setEnabled(false);
    addAction(fromTable(SharedActions::copyTo, "filer.copy-to"));
    connect(SharedActions::copyTo, &QAction::triggered, this, &MainWindow::onCopyToActionTriggered);
    addAction(fromTable(SharedActions::moveTo, "filer.move-to"));
    connect(SharedActions::moveTo, &QAction::triggered, this, &MainWindow::onMoveToActionTriggered);
    fromTable(SharedActions::paste, "filer.paste")->setEnabled(false);
    fromTable(SharedActions::trash, "filer.trash")->setEnabled(false);
    fromTable(SharedActions::deleteItems, "filer.delete")->setEnabled(false);
    //% "Extract"
    SharedActions::extract = new QAction(qtTrId("menu-extract-item"));
    fromTable(SharedActions::newFolder, "filer.new-folder");
    fromTable(SharedActions::rename, "filer.rename")->setEnabled(false);
    SharedActions::clearMarked = new QAction(tr("Clear marked"), this);
    fromTable(SharedActions::preview, "filer.preview");
    connect(SharedActions::preview, &QAction::triggered, this, &MainWindow::openPreview);
    fromTable(SharedActions::viewList, "filer.view-list")->setCheckable(true);
    fromTable(SharedActions::viewColumns, "filer.view-column")->setCheckable(true);
    fromTable(SharedActions::viewIcons, "filer.view-icons")->setCheckable(true);
    fromTable(SharedActions::newWindow, "filer.new-window");
    //% "Show node view"
    SharedActions::showNodeView = new QAction(qtTrId("action-show-nodeview"), this);
    connect(SharedActions::showNodeView, &QAction::triggered, this, &MainWindow::showNodeView);
    //% "Show files on right hand side"
    SharedActions::showAlternateFiler = new QAction(qtTrId("action-show-alt-filer"), this);
    connect(SharedActions::showAlternateFiler, &QAction::triggered, this, &MainWindow::showAlternateFilerPane);
    fromTable(SharedActions::showHidden, "filer.show-hidden")->setCheckable(true);
    fromTable(SharedActions::showProperties, "filer.show-props");
    fromTable(SharedActions::showInExplorer, "filer.show-inexplorer");
    //% "Share drive"
    SharedActions::shareDrive = new QAction(qtTrId("action-share-drive"), this);
    SharedActions::shareDrive->setObjectName(QStringLiteral("action-share-drive"));
    ShareMenus::restoreShareDrive(SharedActions::shareDrive);
    addAction(fromTable(SharedActions::toggleRight, "nodeview.toggle-right"));
    connect(SharedActions::toggleRight, &QAction::triggered, this, &MainWindow::toggleFilepaneNodeview);

    d->tabAction = new QAction(this);
    d->tabAction->setObjectName(QStringLiteral("tabKey"));
    d->tabAction->setShortcut(QKeySequence(Qt::Key_Tab));
    d->tabAction->setShortcutContext(Qt::ApplicationShortcut);
    connect(d->tabAction, &QAction::triggered, this, &MainWindow::onFilerTabPressed);
}

void MainWindow::registerQmlTypes()
{
    static bool registered = false;
    if (registered)
        return;
    registered = true;
    const char* uri = "com.orvanti.mirk";
    // A Filer is a widget that its pane makes; QML only names the type.
    qmlRegisterUncreatableType<Filer>(uri, 1, 0, "Filer", QStringLiteral("Filer is made by its pane"));
    qmlRegisterType<IPeer>(uri, 1, 0, "Peer");
    qmlRegisterType<PeerModel>(uri, 1, 0, "PeerModel");
    qmlRegisterUncreatableType<InvitationModel>(uri, 1, 0, "InvitationModel",
                                                QStringLiteral("InvitationModel needs the database"));
    qmlRegisterType<IconListModel>(uri, 1, 0, "IconListModel");
    qmlRegisterType<VfsJob>(uri, 1, 0, "VfsJob");
    qmlRegisterType<VfsModel>(uri, 1, 0, "VfsModel");
    qRegisterMetaType<PeerModel*>("PeerModel*");
    qRegisterMetaType<InvitationModel*>("InvitationModel*");
    qRegisterMetaType<PeerAclModel*>("PeerAclModel*");
    qRegisterMetaType<VfsDriveModel*>("VfsDriveModel*");
    qRegisterMetaType<VfsModel*>("VfsFileSystemModel*");
    qRegisterMetaType<VfsJobModel*>("VfsJobModel*");
    qRegisterMetaType<VfsJob*>("VfsJob*");
    // A peer's drive and file models as QML reads them from the peer.
    qRegisterMetaType<QAbstractItemModel*>("QAbstractItemModel*");
}

void MainWindow::loadFirstTheme()
{
    const QString name = QStringLiteral("Light");
    const QString directory = ThemeLoader::themeDirectory();
    QString styleSheet;
    if (ThemeLoader::readStyleSheet(ThemeLoader::styleSheetFile(directory, name), &styleSheet))
        qApp->setStyleSheet(styleSheet);

    QQmlEngine* engine = this->engine();
    d->theme = ThemeLoader::createOrBuiltIn(engine, directory, name, &d->builtInTheme);
    if (!d->theme) {
        // Only a broken build gets here; an empty object keeps every
        // binding to "Theme" from reading null.
        Logger::log(Logger::ERR1, "no theme at all, not even the built-in one");
        d->theme = new QObject;
    }
    d->theme->setParent(engine); // lives exactly as long as the engine
    engine->addImageProvider(QStringLiteral("theme"), new ThemeImageProvider(d->theme));
    d->quickView->rootContext()->setContextProperty(QStringLiteral("Theme"), d->theme);

    QScreen* screen = QGuiApplication::screens().value(0);
    const double dpi = screen ? screen->logicalDotsPerInch() : 96.0;
    const double scale = ThemeLoader::scaleFactor(dpi);
    d->theme->setProperty("scaleFactor", scale);
    Logger::log(Logger::NFO1, "PPI: %f, scaleFactor: %f", dpi, scale);

    const QFont font = QFontDatabase::systemFont(QFontDatabase::GeneralFont);
    Logger::log(Logger::NFO1, "font pixel size: %d, point size: %f, pixel pitch: %u", font.pixelSize(),
                font.pointSizeF(), unsigned(font.styleHint()));
    QApplication::setFont(font);
    setFont(font);
    QFontDatabase fonts;
    const QList<int> smooth = fonts.smoothSizes(font.family(), fonts.styleString(font));
    ThemeLoader::writeFontSizes(d->theme, font, smooth);

    if (!d->builtInTheme)
        loadTheme(name);
    else
        QApplication::setPalette(ThemeLoader::palette(QApplication::palette(), d->theme));
}

void MainWindow::loadTheme(const QString& theme)
{
    if (!d->quickView)
        return;
    const QString directory = ThemeLoader::themeDirectory();
    const QString path = ThemeLoader::themeFile(directory, theme);
    if (!QFileInfo::exists(path))
        return;
    QString error;
    QObject* object = ThemeLoader::create(engine(), QUrl::fromLocalFile(QFileInfo(path).absoluteFilePath()), &error);
    if (!object) {
        Logger::log(Logger::ERR1, "failed to load theme: %s (%s)", qUtf8Printable(error), qUtf8Printable(path));
        return;
    }
    const QPalette palette = ThemeLoader::palette(QApplication::palette(), object);
    // Only the object made here goes; "Theme" stays with the engine.
    object->deleteLater();
    QApplication::setPalette(palette);
    QPixmapCache::clear();
    update();

    const QString styleFile = ThemeLoader::styleSheetFile(directory, theme);
    QString styleSheet;
    if (!ThemeLoader::readStyleSheet(styleFile, &styleSheet)) {
        Logger::log(Logger::ERR1, "failed to load theme: %s", qUtf8Printable(styleFile));
        return;
    }
    qApp->setStyleSheet(styleSheet);
}

void MainWindow::connectFilerPane(FilerPane* pane)
{
    d->filerPanes.append(pane);
    connect(pane, &FilerPane::selectionChanged, this, &MainWindow::onSelectionChanged);
    connect(pane, &FilerPane::previewRequest, this, &MainWindow::showPreview);
    connect(pane, &FilerPane::peerClicked, this, &MainWindow::onPeerSelected2);
    connect(pane, &FilerPane::tabsChanged, this, &MainWindow::onFilerPaneTabsChanged);
    connect(pane, &FilerPane::openInAltFiler, this, &MainWindow::onOpenInAltFiler);
    connect(pane, &FilerPane::openNewTabLeft, this, &MainWindow::openNewFilerTabLeft);
    connect(pane, &FilerPane::openNewTabRight, this, &MainWindow::openNewFilerTabRight);
    pane->addAction(d->tabAction);
}

void MainWindow::restoreWindowState()
{
    AppSettings appSettings;
    QSettings* settings = appSettings.settings();
    bool computed = false;
    DefaultGeometry geometry;
    const QByteArray saved = settings->value(QStringLiteral("geometry")).toByteArray();
    if (saved.isEmpty() || !restoreGeometry(saved)) {
        QScreen* screen = QGuiApplication::screens().value(0);
        geometry = defaultGeometry(screen ? screen->availableSize() : QSize(1280, 800));
        setGeometry(geometry.rect);
        computed = true;
    }
    if (settings->contains(QStringLiteral("windowState")))
        restoreState(settings->value(QStringLiteral("windowState")).toByteArray(), 0);
    if (settings->contains(QStringLiteral("splitterState")))
        d->splitter->restoreState(settings->value(QStringLiteral("splitterState")).toByteArray());
    else if (computed && !geometry.splitterSizes.isEmpty())
        d->splitter->setSizes(geometry.splitterSizes);
    d->splitter->setHandleWidth(1);
}

bool MainWindow::networkEnabled() const
{
    return d->networkEnabled;
}

void MainWindow::setNetworkEnabled(bool networkEnabled)
{
    if (networkEnabled == d->networkEnabled)
        return;
    d->networkEnabled = networkEnabled;
    {
        AppSettings appSettings;
        appSettings.settings()->setValue(QStringLiteral("network/enabled"), networkEnabled);
        appSettings.settings()->sync();
    }
    // Whichever way the switch goes, the links to other peers start again
    // from down.
    if (PeerModel* model = PeerModel::instance()) {
        const QString own = ownPeerUuid();
        for (int row = 0; row < model->rowCount(); ++row) {
            IPeer* peer = model->getPeerForRow(row);
            if (peer && peer->type() == QLatin1String("velm") && peer->uuid() != own)
                peer->setLinkState(IPeer::LinkDown);
        }
    }
    emit networkEnabledChanged(networkEnabled);
}

void MainWindow::restoreSession()
{
    // The start can be announced while the window closes (the io thread
    // hands over its queued signals on the way out): nothing to restore then.
    if (d->sessionRestored || d->closing)
        return;
    d->sessionRestored = true;

    // The manager's peer model is this one; the manager itself may already
    // be gone on the io thread.
    PeerModel* model = PeerModel::instance();
    IPeer* own = model ? model->getPeerForUuid(ownPeerUuid()) : nullptr;
    const QString home = QStandardPaths::writableLocation(QStandardPaths::HomeLocation);

    AppSettings appSettings;
    QSettings* settings = appSettings.settings();
    for (FilerPane* pane : d->filerPanes) {
        pane->restoreFilerSettings();
        Filer* filer = pane->currentFiler();
        if (!filer || filer->peer())
            continue;
        filer->setViewMode(settings->value(QStringLiteral("filerViewMode"), int(Filer::ViewColumns)).toInt());
        pane->setPeer(own);
        emit filer->peerSelected();
        filer->gotoPath(home);
    }

    // Directly, on the model's thread: a job is touched only on its own
    // thread, and may be gone before a queued announcement would arrive.
    if (VfsJobModel* jobs = VfsJobModel::instance())
        connect(jobs, &VfsJobModel::jobAdded, this, &MainWindow::onVfsJobAdded, Qt::DirectConnection);

    bool enable = d->networkEnabled;
    if (settings->contains(QStringLiteral("network/enabled")))
        enable = settings->value(QStringLiteral("network/enabled"), enable).toBool();
    else if (d->database && d->database->getPeers(QStringLiteral("velm")).size() >= 2)
        enable = true;
    setNetworkEnabled(enable);

    if (settings->value(QStringLiteral("rhs"), QStringLiteral("nodeview")).toString() == QLatin1String("nodeview"))
        showNodeView();
    else
        showAlternateFilerPane();

    QTimer::singleShot(kUpdaterDelayMs, this, &MainWindow::createUpdater);
}

void MainWindow::createUpdater()
{
    if (d->updater)
        return;
    d->updater = new Updater(this);
    d->updater->hide();
    connect(d->updater, &Updater::updateAvailable, d->updateNotification, &UpdateNotification::updateAvailable);
    connect(d->updater, &QDialog::finished, d->updateNotification, &UpdateNotification::updateDialogDone);
    connect(d->updateNotification, &UpdateNotification::showUpdate, d->updater, &QWidget::show);
}

void MainWindow::addViewShareEntries(QMenu* view)
{
    ShareMenus::addToViewMenu(view, SharedActions::shareDrive);
}

void MainWindow::addHelpEntries(QMenu* help)
{
    //% "About velm"
    QAction* about = help->addAction(qtTrId("action-about-velm"), this, &MainWindow::showAboutDialog);
    about->setObjectName(QStringLiteral("action-about-velm"));
    // Without an update site nothing is asked, and there is nothing to offer.
    if (UpdateSource::baseAddress().isEmpty())
        return;
    //% "Check for updates"
    QAction* check = help->addAction(qtTrId("action-check-updates") + QStringLiteral("..."), this, [this] {
        createUpdater();
        d->updater->show();
        d->updater->raise();
        d->updater->activateWindow();
    });
    check->setObjectName(QStringLiteral("action-check-updates"));
}

void MainWindow::showAboutDialog()
{
    int api = QSGRendererInterface::Unknown;
    QQuickWindow* window = d->nodeView ? d->nodeView->quickWindow() : nullptr;
    if (window && window->rendererInterface())
        api = int(window->rendererInterface()->graphicsApi());
    auto* dialog = new AboutDialog(api, this);
    connect(dialog, &AboutDialog::openLicensesFolder, this, [this] {
        if (Filer* filer = d->filerHub->activeFiler())
            filer->gotoPath(QCoreApplication::applicationDirPath() + QStringLiteral("/licenses"));
    });
    dialog->show();
}

Updater* MainWindow::updater() const
{
    return d->updater;
}

UpdateNotification* MainWindow::updateNotification() const
{
    return d->updateNotification;
}

void MainWindow::closeEvent(QCloseEvent* event)
{
    d->closing = true;
    {
        AppSettings appSettings;
        QSettings* settings = appSettings.settings();
        settings->setValue(QStringLiteral("geometry"), saveGeometry());
        settings->setValue(QStringLiteral("windowState"), saveState(0));
        settings->setValue(QStringLiteral("splitterState"), d->splitter->saveState());
        Filer* left = d->filerPanes.isEmpty() ? nullptr : d->filerPanes.first()->currentFiler();
        settings->setValue(QStringLiteral("filerViewMode"), left ? left->viewMode() : int(Filer::ViewColumns));
        settings->setValue(QStringLiteral("rhs"), d->rightStack->currentWidget() == d->nodeViewPage
                                                      ? QStringLiteral("nodeview")
                                                      : QStringLiteral("filerpane"));
        Logger::save(settings);
        settings->sync();
    }
    QCoreApplication::quit();
    QMainWindow::closeEvent(event);
}

QQmlEngine* MainWindow::engine() const
{
    return d->quickView ? d->quickView->engine() : nullptr;
}

FilerHub* MainWindow::filerHub() const { return d->filerHub; }
QList<FilerPane*> MainWindow::filerPanes() const { return d->filerPanes; }
NodeView* MainWindow::nodeView() const { return d->nodeView; }
PreviewWindow* MainWindow::previewWindow() const { return d->preview; }
QSplitter* MainWindow::splitter() const { return d->splitter; }
QStackedWidget* MainWindow::rightStack() const { return d->rightStack; }
QObject* MainWindow::theme() const { return d->theme; }
bool MainWindow::usesBuiltInTheme() const { return d->builtInTheme; }
ConnectionManager* MainWindow::connectionManager() const { return d->connectionManager; }
IDatabase* MainWindow::database() const { return d->database; }
JobWindows* MainWindow::jobWindows() const { return d->jobWindows; }

// On the job model's thread, while the job is alive: a copy job gets a
// window of its own, other jobs none.
void MainWindow::onVfsJobAdded(VfsJob* job)
{
    if (d->jobWindows)
        d->jobWindows->addJob(job);
}

void MainWindow::showNodeView()
{
    d->rightStack->setCurrentWidget(d->nodeViewPage);
    FilerPane* left = d->filerPanes.first();
    d->filerHub->setActiveFilerPane(left);
    if (Filer* filer = left->currentFiler()) {
        d->filerHub->setActiveFiler(left, filer);
        filer->setFocus(Qt::OtherFocusReason);
    }
    onFilerPaneTabsChanged();
}

void MainWindow::showAlternateFilerPane()
{
    FilerPane* right = d->filerPanes.last();
    d->rightStack->setCurrentWidget(right);
    d->filerHub->setActiveFilerPane(right);
    if (Filer* filer = right->currentFiler()) {
        d->filerHub->setActiveFiler(right, filer);
        filer->setFocus(Qt::OtherFocusReason);
    }
    onFilerPaneTabsChanged();
}

void MainWindow::toggleFilepaneNodeview()
{
    if (d->rightStack->currentWidget() == d->nodeViewPage)
        showAlternateFilerPane();
    else
        showNodeView();
}

void MainWindow::onFilerPaneTabsChanged()
{
    if (d->filerPanes.isEmpty() || !d->rightStack)
        return;
    bool many = false;
    for (FilerPane* pane : d->filerPanes)
        many = many || pane->hasMultipleTabs();
    const bool show = many && d->rightStack->currentWidget() == d->filerPanes.last();
    for (FilerPane* pane : d->filerPanes) {
        if (show)
            pane->showTabBar();
        else
            pane->autoHideTabBar();
    }
}

void MainWindow::onFilerTabPressed()
{
    if (d->filerPanes.size() < 2 || d->rightStack->currentWidget() != d->filerPanes.last())
        return;
    FilerPane* other = d->filerHub->activeFilerPane() == d->filerPanes.first() ? d->filerPanes.last()
                                                                                : d->filerPanes.first();
    d->filerHub->setActiveFilerPane(other);
    if (Filer* filer = other->currentFiler()) {
        d->filerHub->setActiveFiler(other, filer);
        filer->setFocus(Qt::OtherFocusReason);
    }
}

void MainWindow::onOpenInAltFiler(const QString& peerUuid, const QString& path)
{
    if (path.isEmpty() || d->filerPanes.size() < 2)
        return;
    FilerPane* target = d->filerPanes.first();
    if (d->filerHub->activeFilerPane() == d->filerPanes.first()) {
        target = d->filerPanes.last();
        d->rightStack->setCurrentWidget(target);
        onFilerPaneTabsChanged();
    }
    PeerModel* peers = PeerModel::instance();
    IPeer* peer = peers ? peers->getPeerForUuid(peerUuid) : nullptr;
    Filer* filer = target->currentFiler();
    if (!peer || !filer)
        return;
    filer->setPeer(peer);
    filer->gotoPath(path);
}

// A new tab in a pane, bound to the peer and sent to the path.
static void openTabIn(FilerHub* hub, FilerPane* pane, IPeer* peer, const QString& path)
{
    hub->setActiveFilerPane(pane);
    pane->newFilerTab();
    if (Filer* filer = pane->currentFiler()) {
        filer->setPeer(peer);
        filer->gotoPath(path);
    }
}

void MainWindow::openNewFilerTabRight(const QString& peerUuid, const QString& path)
{
    PeerModel* peers = PeerModel::instance();
    IPeer* peer = peers && !path.isEmpty() ? peers->getPeerForUuid(peerUuid) : nullptr;
    if (!peer || d->filerPanes.size() < 2)
        return;
    FilerPane* before = d->filerHub->activeFilerPane();
    FilerPane* right = d->filerPanes.last();
    d->rightStack->setCurrentWidget(right);
    openTabIn(d->filerHub, right, peer, path);
    if (before) {
        d->filerHub->setActiveFilerPane(before);
        if (Filer* filer = before->currentFiler()) {
            d->filerHub->setActiveFiler(before, filer);
            filer->setFocus(Qt::OtherFocusReason);
        }
    }
    onFilerPaneTabsChanged();
}

void MainWindow::openNewFilerTabLeft(const QString& peerUuid, const QString& path)
{
    PeerModel* peers = PeerModel::instance();
    IPeer* peer = peers && !path.isEmpty() ? peers->getPeerForUuid(peerUuid) : nullptr;
    if (!peer || d->filerPanes.isEmpty())
        return;
    FilerPane* left = d->filerPanes.first();
    openTabIn(d->filerHub, left, peer, path);
    if (Filer* filer = left->currentFiler())
        filer->setFocus(Qt::OtherFocusReason);
    onFilerPaneTabsChanged();
}

// ---- the preview of the selection --------------------------------------------

// One selected file of this machine that the preview reads enables the
// preview action; an open preview follows the selection to it.
void MainWindow::onSelectionChanged(const QString& peerUuid, const QStringList& paths)
{
    previewSelection(peerUuid, paths.size() == 1 ? paths.first() : QString());
}

void MainWindow::previewSelection(const QString& peerUuid, const QString& single)
{
    d->previewPath = single;
    const bool ok = !single.isEmpty() && PreviewWindow::canPreview(peerUuid, single);
    if (ok && d->preview && d->preview->isVisible())
        d->preview->loadFile(peerUuid, single);
    if (SharedActions::preview)
        SharedActions::preview->setEnabled(ok);
}

// Another Filer became active: the preview action follows its selection.
void MainWindow::onActiveFilerSelection()
{
    Filer* filer = d->filerHub ? d->filerHub->activeFiler() : nullptr;
    QString single;
    if (filer && filer->selectionModel()) {
        const QModelIndexList rows = filer->selectionModel()->selectedRows();
        if (rows.size() == 1)
            single = rows.first().data(VfsModel::PathRole).toString();
    }
    previewSelection(filer && filer->peer() ? filer->peer()->uuid() : QString(), single);
}

// From the preview action, the node view's file nodes and a Filer's Space
// key on a file the action does not take.
void MainWindow::showPreview(const QString& peerUuid, const QString& path)
{
    if (path.isEmpty() || !d->preview)
        return;
    const bool wasVisible = d->preview->isVisible();
    if (!d->preview->loadFile(peerUuid, path)) {
        Logger::log(Logger::NFO1, "no preview for %s", qUtf8Printable(path));
        showNoPreview(peerUuid, path);
        return;
    }
    // A window the user has placed keeps its place; the first one goes over
    // the right-hand side of this window. It shows itself with its image.
    const QPoint at = d->preview->position();
    if (wasVisible || (at.x() > 4 && at.y() > 4))
        return;
    const QRect geometry = previewGeometry(d->rightStack->mapToGlobal(QPoint(0, 0)), d->rightStack->size());
    d->preview->setGeometry(geometry);
}

QRect MainWindow::previewGeometry(const QPoint& stackOrigin, const QSize& stackSize)
{
    constexpr int kMargin = 48;
    constexpr int kMinimumWidth = 320;
    constexpr int kMinimumHeight = 240;
    return QRect(stackOrigin + QPoint(kMargin, kMargin),
                 QSize(std::max(kMinimumWidth, stackSize.width() - 2 * kMargin),
                       std::max(kMinimumHeight, stackSize.height() - 2 * kMargin)));
}

void MainWindow::showNoPreview(const QString& peerUuid, const QString& path)
{
    Filer* filer = d->filerHub ? d->filerHub->activeFiler() : nullptr;
    if (!filer)
        return;
    // The name as the file model shows it, else the path's last part.
    QString name;
    PeerModel* peers = PeerModel::instance();
    IPeer* peer = peers ? peers->getPeerForUuid(peerUuid) : nullptr;
    if (auto* model = peer ? qobject_cast<VfsModel*>(peer->vfsFileSystemModel()) : nullptr) {
        const QModelIndex index = model->indexForPath(path);
        if (index.isValid())
            name = index.data(VfsModel::NameRole).toString();
    }
    if (name.isEmpty())
        name = path.section(QLatin1Char('/'), -1, -1, QString::SectionSkipEmpty);
    const QString shown = QFontMetrics(QApplication::font()).elidedText(name, Qt::ElideMiddle, filer->width() / 2);
    //% "No preview available for \"%1\""
    filer->showStatusMessage(qtTrId("no-preview-available").arg(shown), 10000);
}

void MainWindow::openPreview()
{
    Filer* filer = d->filerHub ? d->filerHub->activeFiler() : nullptr;
    if (filer && filer->peer() && !d->previewPath.isEmpty())
        showPreview(filer->peer()->uuid(), d->previewPath);
}

void MainWindow::closePreview()
{
    d->preview->hide();
}

// Left and Right in the preview step through the active Filer; the
// selection change brings the new item into the preview.
void MainWindow::onShowPreviousPreview()
{
    if (Filer* filer = d->filerHub ? d->filerHub->activeFiler() : nullptr)
        filer->selectPreviousItem();
}

void MainWindow::onShowNextPreview()
{
    if (Filer* filer = d->filerHub ? d->filerHub->activeFiler() : nullptr)
        filer->selectNextItem();
}

void MainWindow::onPreviewClosed()
{
    raise();
    activateWindow();
    if (Filer* filer = d->filerHub ? d->filerHub->activeFiler() : nullptr)
        filer->setFocus(Qt::OtherFocusReason);
}

