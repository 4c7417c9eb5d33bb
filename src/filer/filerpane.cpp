#include "filer/filerpane.h"

#include "core/appsettings.h"
#include "core/logger.h"
#include "filer/filer.h"
#include "filer/fileractiontable.h"
#include "filer/filerhub.h"
#include "filer/sharedactions.h"
#include "peer/ipeer.h"
#include "peer/peermodel.h"

#include <QAction>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QScreen>
#include <QSettings>
#include <QTabBar>
#include <QTabWidget>
#include <QTimer>
#include <QUuid>
#include <QVBoxLayout>

#include <algorithm>

namespace {
// Application-wide keys from a row of the action table, once per process.
QAction* paneAction(QPointer<QAction>& slot, const char* id, QObject* parent)
{
    if (!slot) {
        slot = FilerActionTable::createAction(QLatin1String(id), parent);
        slot->setShortcutContext(Qt::ApplicationShortcut);
    }
    return slot;
}
} // namespace

FilerPane::FilerPane(QQmlEngine* engine, IDatabase* database, FilerHub* hub, QWidget* parent)
    : QWidget(parent), m_engine(engine), m_database(database), m_hub(hub), m_tabs(new QTabWidget(this))
{
    // 1.
    setObjectName(QStringLiteral("FilerPane"));
    m_pressedTab = -1;

    // 2. The first pane makes the keys every pane shares.
    if (!SharedActions::newTab) {
        //% "New Tab"
        SharedActions::newTab = new QAction(qtTrId("action-new-tab"), this);
        SharedActions::newTab->setShortcut(QKeySequence(QStringLiteral("Ctrl+T")));
        SharedActions::newTab->setShortcutContext(Qt::ApplicationShortcut);
        //% "Close Tab"
        SharedActions::closeTab = new QAction(qtTrId("action-close-tab"), this);
        SharedActions::closeTab->setShortcut(QKeySequence(QStringLiteral("Ctrl+W")));
        SharedActions::closeTab->setShortcutContext(Qt::ApplicationShortcut);
        QAction* right = paneAction(SharedActions::openRight, "filer.open-right", this);
        connect(right, &QAction::triggered, this, &FilerPane::openInOtherPane);
        addAction(right);
        m_paneIndex = 0;
        m_buttons = 0;
    } else {
        m_paneIndex = 1;
        m_buttons = 2;
        QAction* left = paneAction(SharedActions::openLeft, "filer.open-left", this);
        connect(left, &QAction::triggered, this, &FilerPane::openInOtherPane);
        addAction(left);
    }

    // 3.
    QAction* leftTab = paneAction(SharedActions::openLeftTab, "filer.open-left-tab", this);
    QAction* rightTab = paneAction(SharedActions::openRightTab, "filer.open-right-tab", this);
    connect(leftTab, &QAction::triggered, this, [this] { openInNewTab(false); });
    connect(rightTab, &QAction::triggered, this, [this] { openInNewTab(true); });
    addAction(leftTab);
    addAction(rightTab);

    // 4.
    addAction(SharedActions::newTab);
    connect(SharedActions::newTab, &QAction::triggered, this, &FilerPane::newFilerTab);
    addAction(SharedActions::closeTab);
    connect(SharedActions::closeTab, &QAction::triggered, this, &FilerPane::closeFilerTab);
    if (SharedActions::newWindow)
        connect(SharedActions::newWindow, &QAction::triggered, this, &FilerPane::newFilerWindow);

    // 5.
    m_tabs->setTabBarAutoHide(true);
    m_tabs->setMovable(true);
    m_tabs->setUsesScrollButtons(false);
    m_tabs->setElideMode(Qt::ElideLeft);
    m_tabs->setContentsMargins(0, 0, 0, 0);
    m_tabs->tabBar()->setDrawBase(false);
    m_tabs->tabBar()->setAutoFillBackground(false);
    m_tabs->tabBar()->installEventFilter(this);
    m_tabs->installEventFilter(this);

    // 6, 7.
    addPlusTab();
    connect(m_tabs, &QTabWidget::tabBarClicked, this, &FilerPane::onTabBarClicked);
    connect(m_tabs, &QTabWidget::currentChanged, this, &FilerPane::onCurrentChanged);
    connect(m_tabs, &QTabWidget::tabCloseRequested, this, &FilerPane::onTabCloseRequested);

    // 8.
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(m_tabs);
}

FilerPane::~FilerPane()
{
    AppSettings appSettings;
    QSettings* settings = appSettings.settings();
    settings->setValue(QStringLiteral("FilerPane_%1/tabindex").arg(m_paneIndex), m_tabs->currentIndex());
    for (Filer* filer : m_filers) {
        saveFilerSettings(filer, settings);
        disconnect(filer, nullptr, this, nullptr);
        disconnect(this, nullptr, filer, nullptr);
    }
    settings->sync();
    // The windows go with the pane; the tabs go with the tab widget.
    for (Filer* filer : m_filers) {
        if (filer->isStandalone())
            delete filer;
    }
    m_filers.clear();
}

QString FilerPane::settingsGroup(const QString& uuid)
{
    quint32 h = 0;
    for (const QChar c : uuid)
        h = 31 * h + c.unicode();
    return QStringLiteral("Filer_%1").arg(h);
}

void FilerPane::saveFilerSettings(Filer* filer, QSettings* settings) const
{
    if (!filer || !settings)
        return;
    settings->beginGroup(settingsGroup(filer->uuid()));
    settings->setValue(QStringLiteral("uuid"), filer->uuid());
    settings->setValue(QStringLiteral("peeruuid"), filer->peer() ? filer->peer()->uuid() : QString());
    settings->setValue(QStringLiteral("path"), filer->path());
    settings->setValue(QStringLiteral("viewmode"), filer->viewMode());
    settings->setValue(QStringLiteral("paneindex"), m_paneIndex);
    const bool tab = !filer->isStandalone();
    settings->setValue(QStringLiteral("tab"), tab);
    settings->setValue(QStringLiteral("tabindex"), tab ? m_tabs->indexOf(filer) : -1);
    settings->endGroup();
}

void FilerPane::removeFilerSettings(Filer* filer) const
{
    if (!filer)
        return;
    AppSettings appSettings;
    appSettings.settings()->remove(settingsGroup(filer->uuid()));
    appSettings.settings()->sync();
}

void FilerPane::restoreFilerSettings()
{
    struct Record
    {
        QString uuid, peerUuid, path;
        int viewMode, tabIndex;
        bool tab;
    };
    std::vector<Record> records;
    int current = 0;
    {
        AppSettings appSettings;
        QSettings* settings = appSettings.settings();
        for (const QString& group : settings->childGroups()) {
            if (!group.startsWith(QLatin1String("Filer")))
                continue;
            settings->beginGroup(group);
            Record r{ settings->value(QStringLiteral("uuid")).toString(),
                      settings->value(QStringLiteral("peeruuid")).toString(),
                      settings->value(QStringLiteral("path")).toString(),
                      settings->value(QStringLiteral("viewmode"), 0).toInt(),
                      settings->value(QStringLiteral("tabindex"), 0).toInt(),
                      settings->value(QStringLiteral("tab"), false).toBool() };
            const int pane = settings->value(QStringLiteral("paneindex"), 0).toInt();
            settings->endGroup();
            if (pane == m_paneIndex && !r.uuid.isEmpty() && !r.peerUuid.isEmpty() && !r.path.isEmpty())
                records.push_back(r);
        }
        current = settings->value(QStringLiteral("FilerPane_%1/tabindex").arg(m_paneIndex), 0).toInt();
    }
    std::stable_sort(records.begin(), records.end(),
                     [](const Record& a, const Record& b) { return a.tabIndex < b.tabIndex; });
    PeerModel* peers = PeerModel::instance();
    for (const Record& r : records) {
        IPeer* peer = peers ? peers->getPeerForUuid(r.peerUuid) : nullptr;
        if (!peer)
            continue;
        Filer* filer = createFiler(r.tab ? 1 : 0, r.uuid);
        filer->setPeer(peer);
        filer->setViewMode(r.viewMode);
        filer->gotoPath(r.path);
    }
    if (m_filers.empty())
        createFiler(1, QUuid::createUuid().toString());
    if (current >= 0 && current < m_tabs->count() - 1)
        m_tabs->setCurrentIndex(current);
}

QRect FilerPane::filerWindowGeometry(const QRect& pane, const QSize& minimum)
{
    const QSize size = QSize(pane.width() - 40, pane.height() - 280).expandedTo(minimum).expandedTo(QSize(1, 1));
    return QRect(QPoint(pane.x() + pane.width() + 20, pane.y() + 140), size);
}

Filer* FilerPane::createFiler(int mode, const QString& uuid)
{
    // 1.
    auto* filer = new Filer(m_engine, m_database, m_hub, mode == 1 ? this : nullptr);
    filer->setAttribute(Qt::WA_AcceptTouchEvents, false);
    filer->setUuid(uuid);

    // 2.
    for (QAction* action : { SharedActions::preview.data(), SharedActions::newWindow.data(),
                             SharedActions::newFolder.data(), SharedActions::trash.data(),
                             SharedActions::deleteItems.data(), SharedActions::cut.data(),
                             SharedActions::copy.data(), SharedActions::paste.data(), SharedActions::rename.data(),
                             SharedActions::viewIcons.data(), SharedActions::viewList.data(),
                             SharedActions::viewColumns.data(), SharedActions::showHidden.data(),
                             SharedActions::showProperties.data(), SharedActions::showInExplorer.data() }) {
        if (action)
            filer->addAction(action);
    }

    // 3.
    connect(filer, &Filer::activated, this, [this, filer] {
        m_current = filer;
        m_hub->setActiveFilerPane(this);
        m_hub->setActiveFiler(this, filer);
        setFocusProxy(filer);
    });
    connect(filer, &Filer::peerChanged, this, &FilerPane::peerChanged);
    connect(filer, &Filer::peerClicked, this, &FilerPane::peerClicked);
    connect(filer, &Filer::listerVisibilityChanged, this, &FilerPane::listerVisibilityChanged);
    connect(filer, &Filer::selectionChanged, this, &FilerPane::selectionChanged);
    connect(filer, &Filer::previewRequest, this, &FilerPane::previewRequest);
    connect(this, &FilerPane::filterHidden, filer, &Filer::filterHidden);
    connect(this, &FilerPane::filterMaxAge, filer, &Filer::filterMaxAge);
    connect(filer, &Filer::newTabRequest, this,
            [this, filer](const QString&, const QString& path) { onNewTabRequest(filer, path); });

    Filer* active = m_hub->activeFiler();
    IPeer* activePeer = active && active != filer ? active->peer() : nullptr;
    const QString activePath = activePeer ? active->path() : QString();

    if (mode == 1) {
        // 4. A tab, just before "+".
        const int count = m_tabs->count();
        const int at = count <= 1 ? 0 : count - 1;
        const QSignalBlocker block(m_tabs);
        m_tabs->insertTab(at, filer, QStringLiteral("&%1 A").arg(count + 1));
        filer->setButtons(m_buttons);
        connect(filer, &Filer::directoryChanged, this, [this, filer] {
            const int index = m_tabs->indexOf(filer);
            const QString path = filer->path();
            if (index >= 0)
                m_tabs->setTabToolTip(index, path.startsWith(QLatin1Char('%')) ? QString() : path);
        });
        connect(filer, &QWidget::windowTitleChanged, this, [this, filer](const QString& title) {
            const int index = m_tabs->indexOf(filer);
            if (index >= 0)
                m_tabs->setTabText(index, QStringLiteral("  %1  ").arg(title));
        });
        if (activePeer) {
            filer->setPeer(activePeer);
            filer->gotoPath(activePath);
        }
        m_tabs->setCurrentIndex(m_tabs->indexOf(filer));
    } else {
        // 5. A window of its own beside the pane.
        connect(filer, &Filer::aboutToClose, this, [this, filer] { removeFilerSettings(filer); });
        const QRect pane(mapToGlobal(QPoint(0, 0)), size());
        QRect geometry = filerWindowGeometry(pane, filer->minimumSizeHint().expandedTo(filer->minimumSize()));
        QScreen* screen = this->screen() ? this->screen() : QGuiApplication::primaryScreen();
        if (screen) {
            // On screen, wherever the pane is.
            const QRect available = screen->availableGeometry();
            geometry.setSize(geometry.size().boundedTo(available.size()).expandedTo(filer->minimumSize()));
            geometry.moveRight(std::min(geometry.right(), available.right()));
            geometry.moveBottom(std::min(geometry.bottom(), available.bottom()));
            geometry.moveLeft(std::max(geometry.left(), available.left()));
            geometry.moveTop(std::max(geometry.top(), available.top()));
        }
        filer->setWindowIcon(QIcon(QStringLiteral(":/icons/app-icon.svg")));
        if (activePeer) {
            filer->setPeer(activePeer);
            filer->gotoPath(activePath);
        }
        connect(filer, &Filer::directoryChanged, filer, [filer](const QString& name) {
            IPeer* peer = filer->peer();
            filer->setWindowTitle(QStringLiteral("%1 ~ %2").arg(name, peer ? peer->name() : QString()));
        });
        filer->setWindowFlags(Qt::Window);
        filer->setAttribute(Qt::WA_DeleteOnClose);
        filer->setGeometry(geometry);
        filer->show();
    }

    // 6.
    connect(filer, &QObject::destroyed, this, &FilerPane::filerDeleted);
    m_filers.push_back(filer);
    makeCurrent(filer);
    if (mode == 1) {
        emit tabsChanged();
        updateTabButtons();
    }
    return filer;
}

void FilerPane::addPlusTab()
{
    m_plus = new QWidget(m_tabs);
    m_plus->setObjectName(QStringLiteral("plusTab"));
    const int index = m_tabs->addTab(m_plus, QStringLiteral("+"));
    //% "New Tab"
    m_tabs->setTabToolTip(index, qtTrId("action-new-tab"));
    updateTabButtons();
}

void FilerPane::updateTabButtons()
{
    const int count = m_tabs->count();
    // The bar hides itself below two tabs; "+" does not count.
    if (m_tabs->tabBarAutoHide() && count < 3)
        m_tabs->tabBar()->hide();
    m_tabs->setTabsClosable(count >= 3);
    if (count < 3)
        return;
    const int plus = m_tabs->indexOf(m_plus);
    for (QTabBar::ButtonPosition side : { QTabBar::RightSide, QTabBar::LeftSide }) {
        if (QWidget* button = m_tabs->tabBar()->tabButton(plus, side)) {
            button->hide();
            button->resize(0, 0);
        }
    }
}

Filer* FilerPane::currentFiler() const { return static_cast<Filer*>(m_current.data()); }
int FilerPane::paneIndex() const { return m_paneIndex; }
QTabWidget* FilerPane::tabWidget() const { return m_tabs; }
QList<Filer*> FilerPane::filers() const { return QList<Filer*>(m_filers.begin(), m_filers.end()); }
int FilerPane::filerCount() const { return int(m_filers.size()); }
QAction* FilerPane::newTabAction() const { return SharedActions::newTab; }
bool FilerPane::hasMultipleTabs() const { return m_tabs->count() > 2; }

IPeer* FilerPane::peer() const
{
    Filer* active = m_hub ? m_hub->activeFiler() : nullptr;
    return active ? active->peer() : nullptr;
}

void FilerPane::showTabBar()
{
    m_tabs->setTabBarAutoHide(false);
    m_tabs->tabBar()->show();
}

void FilerPane::autoHideTabBar()
{
    m_tabs->setTabBarAutoHide(true);
    m_tabs->tabBar()->show();
    if (m_tabs->count() < 3)
        m_tabs->tabBar()->hide();
}

void FilerPane::newFilerTab()
{
    if (m_hub->activeFilerPane() != this)
        return;
    Filer* filer = createFiler(1, QUuid::createUuid().toString());
    filer->setFocus(Qt::OtherFocusReason);
}

void FilerPane::newFilerWindow()
{
    if (m_hub->activeFilerPane() != this)
        return;
    Filer* filer = createFiler(0, QUuid::createUuid().toString());
    filer->setFocus(Qt::OtherFocusReason);
}

void FilerPane::closeFilerTab()
{
    if (m_hub->activeFilerPane() != this || m_tabs->count() < 3)
        return;
    closeTab(m_tabs->currentIndex());
}

void FilerPane::closeTab(int index)
{
    auto* filer = qobject_cast<Filer*>(m_tabs->widget(index));
    if (!filer)
        return;
    removeFilerSettings(filer);
    m_tabs->removeTab(index);
    filer->deleteLater();
    updateTabButtons();
}

void FilerPane::setPeer(IPeer* peer)
{
    Filer* current = currentFiler();
    if (!current || current->peer() == peer)
        return;
    current->setPeer(peer);
    current->showPeerView();
}

void FilerPane::filerDeleted(QObject* object)
{
    if (m_hub)
        disconnect(m_hub, nullptr, object, nullptr);
    m_filers.erase(std::remove(m_filers.begin(), m_filers.end(), object), m_filers.end());
    if (focusProxy() == object)
        setFocusProxy(nullptr);
    if (m_current.isNull() || m_current.data() == object) {
        m_current = nullptr;
        if (auto* filer = qobject_cast<Filer*>(m_tabs->currentWidget()))
            makeCurrent(filer);
    }
    emit tabsChanged();
}

void FilerPane::makeCurrent(Filer* filer)
{
    m_current = filer;
    setFocusProxy(filer);
    m_hub->setActiveFiler(this, filer);
}

void FilerPane::onTabBarClicked(int index)
{
    // The bar reports presses of every button; only the left one opens a tab.
    if (index == m_tabs->count() - 1 && m_pressedButton == Qt::LeftButton) {
        m_hub->setActiveFilerPane(this);
        // After the bar has finished the press, which picks its current tab
        // by the place of the click among the tabs as they were.
        QTimer::singleShot(0, this, [this] {
            m_hub->setActiveFilerPane(this);
            newFilerTab();
        });
    }
}

void FilerPane::onCurrentChanged(int index)
{
    m_hub->setActiveFilerPane(this);
    if (auto* filer = qobject_cast<Filer*>(m_tabs->widget(index))) {
        makeCurrent(filer);
    } else if (m_tabs->count() >= 2) {
        // "+" is never current: the last Filer tab instead.
        m_tabs->setCurrentIndex(m_tabs->count() - 2);
    }
}

void FilerPane::onTabCloseRequested(int index)
{
    if (m_tabs->count() == 2)
        return;
    closeTab(index);
}

void FilerPane::openInOtherPane()
{
    Filer* current = currentFiler();
    if (!current)
        return;
    IPeer* peer = current->peer();
    emit openInAltFiler(peer ? peer->uuid() : QString(), current->currentItemPath());
}

void FilerPane::openInNewTab(bool right)
{
    Filer* current = currentFiler();
    if (m_hub->activeFilerPane() != this || !current)
        return;
    const QString path = current->currentItemPath();
    if (path.isEmpty())
        return;
    IPeer* peer = current->peer();
    const QString uuid = peer ? peer->uuid() : QString();
    if (right)
        emit openNewTabRight(uuid, path);
    else
        emit openNewTabLeft(uuid, path);
}

void FilerPane::onNewTabRequest(Filer*, const QString& path)
{
    if (m_hub->activeFilerPane() == this)
        newFilerTab();
    if (Filer* current = currentFiler())
        current->gotoPath(path);
}

bool FilerPane::eventFilter(QObject* watched, QEvent* event)
{
    QTabBar* bar = m_tabs->tabBar();
    if (watched == bar) {
        switch (event->type()) {
        case QEvent::MouseButtonPress:
            m_pressedTab = bar->tabAt(static_cast<QMouseEvent*>(event)->pos());
            m_pressedButton = static_cast<QMouseEvent*>(event)->button();
            break;
        case QEvent::MouseButtonRelease: {
            auto* mouse = static_cast<QMouseEvent*>(event);
            m_pressedTab = -1;
            if (mouse->button() == Qt::MiddleButton && m_tabs->count() > 2) {
                const int index = bar->tabAt(mouse->pos());
                if (index >= 0 && qobject_cast<Filer*>(m_tabs->widget(index)))
                    closeTab(index);
            }
            const int plus = m_tabs->indexOf(m_plus);
            m_tabs->setTabEnabled(plus, true);
            if (plus >= 0 && plus != m_tabs->count() - 1) {
                // Deferred: the bar finishes its own release first.
                QTimer::singleShot(0, this, [this] {
                    const int at = m_tabs->indexOf(m_plus);
                    if (at >= 0 && at != m_tabs->count() - 1)
                        m_tabs->tabBar()->moveTab(at, m_tabs->count() - 1);
                });
            }
            break;
        }
        case QEvent::MouseMove:
            if (m_pressedTab >= 0) {
                m_tabs->setTabEnabled(m_tabs->indexOf(m_plus), false);
                m_pressedTab = -1;
            }
            break;
        default:
            break;
        }
    } else if (watched == m_tabs && event->type() == QEvent::KeyPress) {
        auto* key = static_cast<QKeyEvent*>(event);
        if (key->key() == Qt::Key_Tab && (key->modifiers() & Qt::ControlModifier)) {
            Logger::log(Logger::NFO2, "TAB cycle");
            if (m_tabs->currentIndex() == m_tabs->count() - 2) {
                m_tabs->setCurrentIndex(0);
                return true;
            }
        }
    }
    return QWidget::eventFilter(watched, event);
}
