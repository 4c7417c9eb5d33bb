#include "filer/filerpane.h"

#include "filer/filer.h"
#include "filer/filerhub.h"
#include "filer/sharedactions.h"

#include <QAction>
#include <QTabBar>
#include <QTabWidget>
#include <QUuid>
#include <QVBoxLayout>

#include <algorithm>

FilerPane::FilerPane(QQmlEngine* engine, IDatabase* database, FilerHub* hub, QWidget* parent)
    : QWidget(parent), m_engine(engine), m_database(database), m_hub(hub), m_tabs(new QTabWidget(this))
{
    setObjectName(QStringLiteral("filerPane"));
    if (!SharedActions::newTab) {
        //% "New Tab"
        SharedActions::newTab = new QAction(qtTrId("action-new-tab"), this);
        SharedActions::newTab->setShortcut(QKeySequence(QStringLiteral("Ctrl+T")));
        SharedActions::newTab->setShortcutContext(Qt::ApplicationShortcut);
        //% "Close Tab"
        SharedActions::closeTab = new QAction(qtTrId("action-close-tab"), this);
        SharedActions::closeTab->setShortcut(QKeySequence(QStringLiteral("Ctrl+W")));
        SharedActions::closeTab->setShortcutContext(Qt::ApplicationShortcut);
    }
    addAction(SharedActions::newTab);
    connect(SharedActions::newTab, &QAction::triggered, this, &FilerPane::newFilerTab);
    addAction(SharedActions::closeTab);
    connect(SharedActions::closeTab, &QAction::triggered, this, &FilerPane::closeFilerTab);
    if (SharedActions::newWindow)
        connect(SharedActions::newWindow, &QAction::triggered, this, &FilerPane::newFilerWindow);

    m_tabs->setTabBarAutoHide(true);
    m_tabs->setMovable(true);
    m_tabs->setElideMode(Qt::ElideLeft);
    m_tabs->setDocumentMode(true);
    connect(m_tabs, &QTabWidget::currentChanged, this, [this](int index) {
        // A tab being added is not the user's choice of pane.
        if (m_adding)
            return;
        if (auto* filer = qobject_cast<Filer*>(m_tabs->widget(index))) {
            m_hub->setActiveFilerPane(this);
            makeCurrent(filer);
        }
    });
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(m_tabs);
}

FilerPane::~FilerPane()
{
    // The Filers go with the tab widget; they must not call back into a
    // pane that is half gone.
    for (Filer* filer : m_filers)
        disconnect(filer, nullptr, this, nullptr);
}

Filer* FilerPane::createFiler(int, const QString& uuid)
{
    auto* filer = new Filer(m_hub, uuid, m_tabs);
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
    connect(filer, &Filer::activated, this, [this, filer] {
        m_hub->setActiveFilerPane(this);
        makeCurrent(filer);
    });
    connect(filer, &Filer::peerChanged, this, &FilerPane::peerChanged);
    connect(filer, &Filer::peerClicked, this, &FilerPane::peerClicked);
    connect(filer, &Filer::selectionChanged, this, &FilerPane::selectionChanged);
    connect(this, &FilerPane::filterHidden, filer, &Filer::filterHidden);
    connect(filer, &Filer::directoryChanged, this, [this, filer](const QString& path) {
        const int index = m_tabs->indexOf(filer);
        if (index >= 0)
            m_tabs->setTabToolTip(index, path.startsWith(QLatin1Char('%')) ? QString() : path);
    });
    connect(filer, &QObject::destroyed, this, &FilerPane::filerDeleted);

    m_adding = true;
    const int index = m_tabs->addTab(filer, QStringLiteral("  %1  ").arg(m_tabs->count() + 1));
    if (Filer* active = m_hub->activeFiler()) {
        if (active->peer()) {
            filer->setPeer(active->peer());
            filer->gotoPath(active->path());
        }
    }
    m_filers.push_back(filer);
    makeCurrent(filer);
    m_tabs->setCurrentIndex(index);
    m_adding = false;
    emit tabsChanged();
    return filer;
}

Filer* FilerPane::currentFiler() const
{
    return m_current;
}

int FilerPane::filerCount() const
{
    return int(m_filers.size());
}

bool FilerPane::hasMultipleTabs() const
{
    return m_filers.size() > 1;
}

void FilerPane::showTabBar()
{
    m_tabs->setTabBarAutoHide(false);
    m_tabs->tabBar()->show();
}

void FilerPane::autoHideTabBar()
{
    m_tabs->setTabBarAutoHide(true);
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
    // Filer windows come with the real panes.
}

void FilerPane::closeFilerTab()
{
    if (m_hub->activeFilerPane() != this || m_filers.size() < 2 || !m_current)
        return;
    Filer* filer = m_current;
    m_tabs->removeTab(m_tabs->indexOf(filer));
    filer->deleteLater();
}

void FilerPane::setPeer(IPeer* peer)
{
    if (!m_current || m_current->peer() == peer)
        return;
    m_current->setPeer(peer);
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

void FilerPane::restoreFilerSettings()
{
    if (m_filers.empty())
        createFiler(1, QUuid::createUuid().toString());
}

void FilerPane::makeCurrent(Filer* filer)
{
    m_current = filer;
    setFocusProxy(filer);
    m_hub->setActiveFiler(this, filer);
}
