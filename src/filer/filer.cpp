#include "filer/filer.h"

#include "filer/filerhub.h"
#include "filer/sharedactions.h"
#include "peer/ipeer.h"

#include <QAction>
#include <QLabel>
#include <QVBoxLayout>

Filer::Filer(FilerHub* hub, const QString& uuid, QWidget* parent)
    : QWidget(parent), m_hub(hub), m_uuid(uuid), m_label(new QLabel(this))
{
    setObjectName(QStringLiteral("filer"));
    setFocusPolicy(Qt::StrongFocus);
    m_label->setObjectName(QStringLiteral("filerText"));
    m_label->setTextFormat(Qt::PlainText); // peer names and paths are never markup
    m_label->setAlignment(Qt::AlignCenter);
    m_label->setWordWrap(true);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(m_label);

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
    connectAction(SharedActions::viewList, &Filer::viewAsList);
    connectAction(SharedActions::viewColumns, &Filer::viewAsColumns);
    connectAction(SharedActions::viewIcons, &Filer::viewAsIcons);
    connectAction(SharedActions::showProperties, &Filer::onShowPropertiesActionTriggered);
    connectAction(SharedActions::showInExplorer, &Filer::onShowInExplorerActionTriggered);
    if (SharedActions::showHidden)
        connect(SharedActions::showHidden, &QAction::toggled, this, &Filer::filterHidden);
    updateText();
}

Filer::~Filer() = default;

QString Filer::uuid() const { return m_uuid; }
IPeer* Filer::peer() const { return m_peer; }
QString Filer::path() const { return m_path; }
int Filer::viewMode() const { return m_viewMode; }
int Filer::actionsReached() const { return m_reached; }
QStringList Filer::actedOn() const { return m_acted; }

void Filer::setPeer(IPeer* peer)
{
    if (m_peer == peer)
        return;
    if (m_peer)
        m_peer->setActiveDisplay(false);
    m_peer = peer;
    if (m_peer)
        m_peer->setActiveDisplay(true);
    updateText();
    emit peerChanged();
}

void Filer::setViewMode(int mode)
{
    if (mode < ViewList || mode > ViewNone || mode == m_viewMode)
        return;
    m_viewMode = mode;
    updateText();
    emit viewModeChanged();
}

QString Filer::resolvePath(const QString& path)
{
    return path;
}

void Filer::gotoPath(const QString& path)
{
    if (path == m_path)
        return;
    m_path = path;
    updateText();
    emit directoryChanged(path);
}

bool Filer::act(const QString& what)
{
    ++m_reached;
    if (!m_hub || m_hub->activeFiler() != this)
        return false;
    m_acted << what;
    return true;
}

void Filer::onCopyActionTriggered()
{
    const bool cut = sender() && sender() == SharedActions::cut.data();
    act(cut ? QStringLiteral("cut") : QStringLiteral("copy"));
}
void Filer::onPasteActionTriggered() { act(QStringLiteral("paste")); }
void Filer::onTrashActionTriggered() { act(QStringLiteral("trash")); }
void Filer::onDeleteActionTriggered() { act(QStringLiteral("delete")); }
void Filer::onExtractActionTriggered() { act(QStringLiteral("extract")); }
void Filer::onNewFolderActionTriggered() { act(QStringLiteral("new-folder")); }
void Filer::onRenameActionTriggered() { act(QStringLiteral("rename")); }
void Filer::clearMarkedFiles() { act(QStringLiteral("clear-marked")); }
void Filer::onShowPropertiesActionTriggered() { act(QStringLiteral("properties")); }
void Filer::onShowInExplorerActionTriggered() { act(QStringLiteral("reveal")); }
void Filer::filterHidden(bool) { act(QStringLiteral("show-hidden")); }

void Filer::viewAsList()
{
    if (act(QStringLiteral("view-list")))
        setViewMode(ViewList);
}

void Filer::viewAsColumns()
{
    if (act(QStringLiteral("view-columns")))
        setViewMode(ViewColumns);
}

void Filer::viewAsIcons()
{
    if (act(QStringLiteral("view-icons")))
        setViewMode(ViewIcons);
}

void Filer::focusInEvent(QFocusEvent* event)
{
    QWidget::focusInEvent(event);
    emit activated();
}

void Filer::mousePressEvent(QMouseEvent* event)
{
    QWidget::mousePressEvent(event);
    setFocus(Qt::MouseFocusReason);
}

void Filer::updateText()
{
    const QString name = m_peer ? (m_peer->displayName().isEmpty() ? m_peer->name() : m_peer->displayName())
                                : QString();
    m_label->setText(name.isEmpty() && m_path.isEmpty() ? QString() : name + QLatin1Char('\n') + m_path);
}
