// The node view's interaction: deleting nodes and sectors, keys, the
// right-button gestures and the menus.

#include "core/idatabase.h"
#include "desktop/applauncher.h"
#include "desktop/openwithmenu.h"
#include "filer/filer.h"
#include "nodeview/connectionsitem.h"
#include "nodeview/guinode.h"
#include "nodeview/nodeview.h"
#include "nodeview/nodeview_p.h"
#include "peer/ipeer.h"
#include "peer/peermodel.h"

#include <QAction>
#include <QCursor>
#include <QKeyEvent>
#include <QMenu>
#include <QMessageBox>
#include <QMouseEvent>
#include <QPushButton>
#include <QQuickItem>
#include <QQuickWindow>

#include <algorithm>

void NodeViewPrivate::discardNode(GuiNode* node)
{
    if (!node)
        return;
    node->deleteFromDatabase(db);
    if (ConnectionsItem* connector = node->connector()) {
        connector->setVisible(false);
        connector->markDirty();
    }
    if (node->parentNode && node->parentNode->connector())
        node->parentNode->connector()->markDirty();
    if (QQuickItem* item = node->item()) {
        // No more moves, clicks or menus from it: it may be the very item
        // whose signal runs right now, so it goes a little later, with its
        // node.
        item->disconnect(q);
        item->setVisible(false);
        if (customizer && customizer->property("node").value<QObject*>() == item)
            customizer->setProperty("node", QVariant::fromValue<QObject*>(nullptr));
    }
    node->disconnect(q);
    discarded.erase(std::remove(discarded.begin(), discarded.end(), nullptr), discarded.end());
    discarded.emplace_back(node);
    node->deleteLater();
}

void NodeViewPrivate::deleteSelectedNodes(SectorView& view)
{
    std::vector<GuiNode*> selected;
    for (GuiNode* node : view.nodes) {
        if (node->item() && node->item()->property("selected").toBool())
            selected.push_back(node);
    }
    if (selected.empty())
        return;
    view.nodes.erase(std::remove_if(view.nodes.begin(), view.nodes.end(),
                                    [&selected](GuiNode* node) {
                                        return std::find(selected.begin(), selected.end(), node) != selected.end();
                                    }),
                     view.nodes.end());
    for (GuiNode* node : selected)
        discardNode(node);
}

void NodeViewPrivate::deleteSector(const QString& sectorUuid)
{
    for (auto it = rootView.nodes.begin(); it != rootView.nodes.end(); ++it) {
        GuiNode* node = *it;
        if (node->type() == QLatin1String("sector") && node->vsectorUuid() == sectorUuid) {
            rootView.nodes.erase(it);
            discardNode(node);
            break;
        }
    }
    for (auto it = views.begin(); it != views.end(); ++it) {
        if (it->uuid != sectorUuid)
            continue;
        // The nodes go with their rows (the store would drop the rows with
        // the sector anyway) and no save of theirs follows.
        std::vector<GuiNode*> nodes;
        nodes.swap(it->nodes);
        for (GuiNode* node : nodes)
            discardNode(node);
        if (db)
            db->deleteVSector(sectorUuid);
        if (it->page) {
            it->page->disconnect(q);
            it->page->setVisible(false);
            it->page->setParentItem(nullptr);
            it->page->deleteLater();
        }
        views.erase(it);
        break;
    }
    openView(0);
    if (!views.empty()) {
        for (GuiNode* node : rootView.nodes) {
            if (node->type() == QLatin1String("sector") && node->item())
                node->item()->setProperty("selected", node->vsectorUuid() == views.front().uuid);
        }
    }
}

GuiNode* NodeViewPrivate::firstSelectedNode(SectorView& view) const
{
    for (GuiNode* node : view.nodes) {
        if (node->item() && node->item()->property("selected").toBool())
            return node;
    }
    return nullptr;
}

void NodeViewPrivate::openNode(GuiNode* node, bool withNetwork)
{
    if (!node)
        return;
    const QString type = node->type();
    if (type == QLatin1String("directory") || type == QLatin1String("drive")
        || (withNetwork && type == QLatin1String("network")))
        emit q->nodeDoubleClicked(node->peerUuid(), node->path());
    else if (type == QLatin1String("peer"))
        emit q->peerClicked(node->peerUuid());
}

// ---------------------------------------------------------------- keys

void NodeView::keyPressEvent(QKeyEvent* event)
{
    QQuickWidget::keyPressEvent(event);
}

// True while the user types into the scene (a sector's name being edited):
// the keys are text then, not commands of the view.
static bool isEditingText(QQuickWindow* window, const std::vector<GuiNode*>& strip)
{
    QQuickItem* focus = window ? window->activeFocusItem() : nullptr;
    if (focus && (focus->inherits("QQuickTextInput") || focus->inherits("QQuickTextEdit")))
        return true;
    for (GuiNode* node : strip) {
        if (node->item() && node->item()->property("state").toString() == QLatin1String("editing"))
            return true;
    }
    return false;
}

void NodeView::keyReleaseEvent(QKeyEvent* event)
{
    if (isEditingText(quickWindow(), d->rootView.nodes)) {
        QQuickWidget::keyReleaseEvent(event);
        return;
    }
    NodeViewPrivate::SectorView* view = d->currentView();
    switch (event->key()) {
    case Qt::Key_Backspace:
    case Qt::Key_Delete:
        if (view) {
            d->deleteSelectedNodes(*view);
            d->updateNodeRelations(*view);
        }
        event->accept();
        return;
    case Qt::Key_Escape:
        if (view)
            d->deselectNodes(*view);
        d->deselectNodes(d->rootView);
        if (d->customizer)
            d->customizer->setProperty("node", QVariant::fromValue<QObject*>(nullptr));
        event->accept();
        return;
    case Qt::Key_F2:
        for (GuiNode* node : d->rootView.nodes) {
            QQuickItem* item = node->item();
            if (node->type() == QLatin1String("sector") && item && item->property("selected").toBool()) {
                item->forceActiveFocus();
                QMetaObject::invokeMethod(item, "rename");
                break;
            }
        }
        event->accept();
        return;
    default:
        QQuickWidget::keyReleaseEvent(event);
    }
}

// ---------------------------------------------------------------- gestures

void NodeView::mousePressEvent(QMouseEvent* event)
{
    if (event->buttons() & Qt::RightButton) {
        d->pressX = qRound(event->localPos().x());
        d->pressY = qRound(event->localPos().y());
    }
    QQuickWidget::mousePressEvent(event);
}

void NodeView::mouseMoveEvent(QMouseEvent* event)
{
    if (event->buttons() & Qt::RightButton) {
        event->accept();
        return;
    }
    QQuickWidget::mouseMoveEvent(event);
}

void NodeView::mouseReleaseEvent(QMouseEvent* event)
{
    QQuickWidget::mouseReleaseEvent(event);
    setFocus();
    if (event->button() != Qt::RightButton || (d->pressX == 0 && d->pressY == 0))
        return;
    const int dx = qRound(event->localPos().x()) - d->pressX;
    const int dy = qRound(event->localPos().y()) - d->pressY;
    d->pressX = 0;
    d->pressY = 0;
    const bool down = qAbs(dx) <= 29 && dy >= 51;
    const bool left = qAbs(dx) >= 30 && qAbs(dy) <= 29 && dx <= -51;
    if (left) {
        // A left stroke is recognised but has no action of its own yet.
        return;
    }
    if (!down)
        return;
    emit activateAlternateFilerpane();
    if (NodeViewPrivate::SectorView* view = d->currentView())
        d->openNode(d->firstSelectedNode(*view), false);
}

// ---------------------------------------------------------------- menus
//
// The menus and the question about a sector never wait for the user: they
// show and return. Meanwhile the node or sector they were opened on may go
// (deleted by the user, by another question, or with the view), so every
// action finds its target again by uuid when it is chosen and does nothing
// when the target is gone.

NodeViewPrivate::SectorView* NodeViewPrivate::viewOfUuid(const QString& sectorUuid)
{
    if (sectorUuid == rootView.uuid)
        return &rootView;
    for (auto& view : views) {
        if (view.uuid == sectorUuid)
            return &view;
    }
    return nullptr;
}

GuiNode* NodeViewPrivate::liveNode(const QString& sectorUuid, const QString& nodeUuid)
{
    SectorView* view = viewOfUuid(sectorUuid);
    if (!view)
        return nullptr;
    for (GuiNode* node : view->nodes) {
        if (node->uuid() == nodeUuid)
            return node->isDeleted() ? nullptr : node;
    }
    return nullptr;
}

GuiNode* NodeViewPrivate::stripNodeOf(const QString& sectorUuid) const
{
    for (GuiNode* node : rootView.nodes) {
        if (node->type() == QLatin1String("sector") && node->vsectorUuid() == sectorUuid && !node->isDeleted())
            return node;
    }
    return nullptr;
}

void NodeViewPrivate::popup(QMenu* newMenu)
{
    if (menu) {
        menu->hide();
        menu->deleteLater();
    }
    menu = newMenu;
    // Later, not at once: a chosen action runs after its menu has hidden.
    QObject::connect(newMenu, &QMenu::aboutToHide, newMenu, &QObject::deleteLater);
    newMenu->popup(QCursor::pos());
}

void NodeViewPrivate::runNodeAction(NodeAction action, const QString& sectorUuid, const QString& nodeUuid)
{
    GuiNode* node = liveNode(sectorUuid, nodeUuid);
    if (!node)
        return;
    const bool file = node->type() == QLatin1String("file");
    switch (action) {
    case NodeAction::Customize:
        if (QObject* c = customizer.data(); c && !c->property("visible").toBool()) {
            const QPoint cursor = QCursor::pos();
            c->setProperty("x", cursor.x() - c->property("width").toInt() - 96);
            c->setProperty("y", cursor.y() - c->property("height").toInt() / 2);
            QMetaObject::invokeMethod(c, "show");
        }
        break;
    case NodeAction::OpenRight:
        if (!file) {
            emit q->activateAlternateFilerpane();
            // A receiver of the signal may have changed the view.
            openNode(liveNode(sectorUuid, nodeUuid), true);
        }
        break;
    case NodeAction::OpenWindow:
        emit q->createNewWindow();
        openNode(liveNode(sectorUuid, nodeUuid), true);
        break;
    case NodeAction::OpenTab:
        emit q->createNewTab();
        openNode(liveNode(sectorUuid, nodeUuid), true);
        break;
    case NodeAction::DeleteSelected:
        if (SectorView* view = viewOfUuid(sectorUuid)) {
            deleteSelectedNodes(*view);
            updateNodeRelations(*view);
        }
        break;
    }
}

void NodeView::nodeContextMenuRequest()
{
    auto* item = qobject_cast<QQuickItem*>(sender());
    if (!item)
        return;
    NodeViewPrivate::SectorView* view = nullptr;
    GuiNode* node = d->nodeOfItem(d->rootView, item);
    if (node) {
        view = &d->rootView;
    } else {
        view = d->viewOfSender(item);
        if (!view)
            view = d->currentView();
        node = view ? d->nodeOfItem(*view, item) : nullptr;
    }
    PeerModel* model = PeerModel::instance();
    if (!node || node->isDeleted() || !model || !model->getPeerForUuid(node->peerUuid()))
        return;
    const QString sectorUuid = view->uuid;
    const QString nodeUuid = node->uuid();

    auto* menu = new QMenu(this);
    menu->setObjectName(QStringLiteral("nodeMenu"));
    // A file of a reachable peer: its applications first. They open the
    // node's file whatever the launcher has been asked about meanwhile.
    IPeer* nodePeer = model->getPeerForUuid(node->peerUuid());
    AppLauncher* launcher = AppLauncher::current();
    if (launcher && node->type() == QLatin1String("file") && nodePeer->linkState() == IPeer::LinkUp
        && !node->path().isEmpty()) {
        const QString peerUuid = nodePeer->uuid();
        const QString path = node->path();
        launcher->selectFiles(peerUuid, { path });
        Filer::updateOpenWithMenu(menu, nullptr);
        if (!menu->actions().isEmpty())
            menu->addSeparator();
        connect(menu, &QMenu::triggered, this, [this, sectorUuid, nodeUuid, peerUuid, path](QAction* chosen) {
            const QVariant app = chosen->property(OpenWithMenu::AppProperty);
            AppLauncher* current = AppLauncher::current();
            if (app.isValid() && current && d->liveNode(sectorUuid, nodeUuid))
                current->launch(app.toInt(), peerUuid, { path });
        });
    }
    auto add = [&](const char* name, const QString& text, NodeViewPrivate::NodeAction action) {
        QAction* entry = menu->addAction(text);
        entry->setObjectName(QLatin1String(name));
        connect(entry, &QAction::triggered, this,
                [this, action, sectorUuid, nodeUuid] { d->runNodeAction(action, sectorUuid, nodeUuid); });
        return entry;
    };
    //% "Customize..."
    add("customizeNode", qtTrId("action-customize-node"), NodeViewPrivate::NodeAction::Customize);
    //% "Open in right file pane"
    add("openNodeRight", qtTrId("action-open-node-rhs"), NodeViewPrivate::NodeAction::OpenRight);
    //% "Open in new window"
    add("openNodeInWindow", qtTrId("action-open-node-new-win"), NodeViewPrivate::NodeAction::OpenWindow);
    //% "Open in new tab"
    add("openNodeInTab", qtTrId("action-openin-tab"), NodeViewPrivate::NodeAction::OpenTab);
    menu->addSeparator();
    //% "Delete"
    QAction* remove = add("deleteNodes", qtTrId("action-delete-node"), NodeViewPrivate::NodeAction::DeleteSelected);
    remove->setShortcut(QKeySequence(Qt::Key_Backspace));
    d->popup(menu);
}

void NodeView::sectorContextMenuRequest()
{
    auto* item = qobject_cast<QQuickItem*>(sender());
    GuiNode* node = item ? d->nodeOfItem(d->rootView, item) : nullptr;
    if (!node || node->isDeleted())
        return;
    const QString sectorUuid = node->vsectorUuid();

    auto* menu = new QMenu(this);
    menu->setObjectName(QStringLiteral("sectorMenu"));
    //% "Rename"
    QAction* rename = menu->addAction(qtTrId("action-rename-sector"));
    rename->setObjectName(QStringLiteral("renameSector"));
    connect(rename, &QAction::triggered, this, [this, sectorUuid] {
        GuiNode* tab = d->stripNodeOf(sectorUuid);
        if (!tab || !tab->item())
            return;
        tab->item()->forceActiveFocus();
        QMetaObject::invokeMethod(tab->item(), "rename");
    });
    //% "Delete..."
    QAction* remove = menu->addAction(qtTrId("action-delete-sector"));
    remove->setObjectName(QStringLiteral("deleteSector"));
    remove->setEnabled(d->views.size() > 1);
    connect(remove, &QAction::triggered, this, [this, sectorUuid] { d->askToDeleteSector(sectorUuid); });
    d->popup(menu);
}

void NodeViewPrivate::askToDeleteSector(const QString& sectorUuid)
{
    SectorView* view = viewOfUuid(sectorUuid);
    if (!view || view == &rootView || views.size() <= 1)
        return;
    auto* box = new QMessageBox(q);
    box->setObjectName(QStringLiteral("deleteSectorBox"));
    box->setIcon(QMessageBox::Question);
    //% "Delete view"
    box->setWindowTitle(qtTrId("dlg-delete-sector-title"));
    //% "Delete view \"%1\" and all items in it?"
    GuiNode* tab = stripNodeOf(sectorUuid);
    const QString name = tab && tab->item() ? tab->item()->property("name").toString() : view->name;
    box->setText(qtTrId("dlg-delete-sector-description").arg(name));
    box->setTextFormat(Qt::PlainText);
    //% "Cancel"
    QPushButton* no = box->addButton(qtTrId("btn-cancel"), QMessageBox::RejectRole);
    no->setObjectName(QStringLiteral("cancelButton"));
    //% "Delete"
    QPushButton* yes = box->addButton(qtTrId("btn-delete"), QMessageBox::AcceptRole);
    yes->setObjectName(QStringLiteral("deleteButton"));
    // Return deletes, Escape (or closing the box) cancels.
    box->setDefaultButton(yes);
    box->setEscapeButton(no);
    QObject::connect(box, &QDialog::finished, q, [this, box, yes, sectorUuid] {
        box->deleteLater();
        // Asked again now: the sector or all the others may have gone
        // while the question was open.
        if (box->clickedButton() == yes && viewOfUuid(sectorUuid) && views.size() > 1)
            deleteSector(sectorUuid);
    });
    box->open();
}
