#pragma once

#include "core/databasesqlite.h"
#include "core/vnodedto.h"
#include "core/vsectordto.h"
#include "nodeview/guinode.h"
#include "nodeview/nodeview.h"
#include "peer/ipeer.h"
#include "support/gui/guitestrig.h"
#include "window/mainwindow.h"

#include <QQmlContext>
#include <QQmlEngine>
#include <QQuickItem>
#include <QUuid>
#include <QtTest>

#include <memory>

// A node view on the window of a GUI test rig: rows written to the store
// before the start, the start announced, and the scene read back.
class NodeViewFixture
{
public:
    NodeViewFixture() : rig(new GuiTestRig) {}
    ~NodeViewFixture()
    {
        window.reset();
        rig.reset();
    }

    static QString nullUuid() { return QUuid().toString(); }
    static QString newUuid() { return QUuid::createUuid().toString(); }

    DatabaseSqlite* db() const { return rig->database(); }
    NodeView* view() const { return window ? window->nodeView() : nullptr; }
    QQmlEngine* engine() const { return window ? window->engine() : nullptr; }

    // Makes the window (not yet started).
    void create()
    {
        window = rig->createWindow();
        window->resize(1200, 800);
        window->show();
        QVERIFY(QTest::qWaitForWindowExposed(window.get()));
    }
    // Makes the window when there is none, announces the start and waits
    // for the scene.
    void start()
    {
        if (!window)
            create();
        rig->manager()->announceStarted();
        QTRY_VERIFY_WITH_TIMEOUT(view()->isSetUp(), 20000);
    }

    QString addSector(const QString& name, double x = 1024, double y = 1024, double w = 4096, double h = 4096)
    {
        const QString uuid = newUuid();
        db()->putVSector(VSectorDto{ uuid, name, x, y, w, h });
        return uuid;
    }
    static VNodeDto row(const QString& sector, const QString& type, const QString& path, double x, double y,
                        const QString& peer = nullUuid(), const QString& name = QString(),
                        const QString& style = QStringLiteral("style0"), const QString& icon = QString())
    {
        return VNodeDto{ newUuid(), peer, sector, name.isEmpty() ? path : name, style, path, type, icon, 0, x, y };
    }
    VNodeDto addNode(const VNodeDto& node)
    {
        const bool stored = db()->putVNode(node);
        if (!stored)
            qWarning("node row not stored");
        return node;
    }

    GuiNode* node(const QString& sectorUuid, const QString& nodeUuid) const
    {
        const QList<GuiNode*> nodes =
            sectorUuid == nullUuid() ? view()->stripNodes() : view()->sectorNodes(sectorUuid);
        for (GuiNode* n : nodes) {
            if (n->uuid() == nodeUuid)
                return n;
        }
        return nullptr;
    }
    GuiNode* stripNodeOf(const QString& sectorUuid) const
    {
        for (GuiNode* n : view()->stripNodes()) {
            if (n->type() == QLatin1String("sector") && n->vsectorUuid() == sectorUuid)
                return n;
        }
        return nullptr;
    }
    VNodeDto storedNode(const QString& sectorUuid, const QString& nodeUuid) const
    {
        for (const VNodeDto& r : db()->getVNodes(sectorUuid)) {
            if (r.uuid == nodeUuid)
                return r;
        }
        return VNodeDto();
    }
    VSectorDto storedSector(const QString& uuid) const
    {
        for (const VSectorDto& r : db()->getVSectors()) {
            if (r.uuid == uuid)
                return r;
        }
        return VSectorDto();
    }
    // The items a sector page holds (the node items, without connectors).
    QList<QQuickItem*> pageItems(const QString& sectorUuid) const
    {
        QList<QQuickItem*> items;
        QQuickItem* page = view()->sectorPage(sectorUuid);
        auto* content = page ? page->property("contentItem").value<QQuickItem*>() : nullptr;
        if (!content)
            return items;
        for (QQuickItem* child : content->childItems()) {
            if (child->property("uuid").isValid())
                items << child;
        }
        return items;
    }

    std::unique_ptr<GuiTestRig> rig;
    std::unique_ptr<MainWindow> window;
};
