#pragma once

#include "core/vnodedto.h"

#include <QElapsedTimer>
#include <QObject>
#include <QPointer>

#include <memory>

class ConnectionsItem;
class GuiNodePrivate;
class IDatabase;
class IPeer;
class QQmlEngine;
class QQuickItem;

// One node of the node view: the QML item made from the node file of its
// type, holding the stored row as item properties, with its signals wired
// to the node view (the parent), and a save timer that writes the row back
// a few seconds after the last change.
//
// A row whose type has no node file, or whose file does not build, gives a
// node without item (item() is null, a log line says why); the node view
// drops such nodes.
class GuiNode : public QObject
{
    Q_OBJECT
public:
    // `styleSource` is the theme's "node" object; its properties "style0",
    // "style1", … are the style objects a row's style names.
    GuiNode(QQmlEngine* engine, IPeer* peer, const VNodeDto& row, QObject* styleSource, QObject* parent);
    ~GuiNode() override;

    // The node file of a type; empty for a type without one.
    static QString componentUrl(const QString& type);
    // Tests: another file for a type (an empty url restores the built-in one).
    static void setComponentUrl(const QString& type, const QString& url);
    // The delay from the last restartTimer() to the save: 5000 ms unless
    // set otherwise (tests).
    static int saveDelayMs();
    static void setSaveDelayMs(int ms);

    QQuickItem* item() const;
    IPeer* peer() const;
    QString uuid() const;
    QString peerUuid() const;
    QString vsectorUuid() const;
    QString type() const;
    QString path() const;
    void setPath(const QString& path);
    QString icon() const;
    quint64 fileId() const;
    void setFileId(quint64 fileId);

    ConnectionsItem* connector() const;
    void setConnector(ConnectionsItem* connector);

    // Saves into `db` saveDelayMs() after the last call.
    void restartTimer(IDatabase* db);
    bool isSavePending() const;
    // Writes the row (name, path, style, icon and place read from the item);
    // false without a peer uuid or without an item.
    bool save(IDatabase* db);
    // Removes the stored row (a node never stored has none) and drops a
    // pending save: from then on the node never writes its row again.
    bool deleteFromDatabase(IDatabase* db);
    bool isDeleted() const;

    // Bookkeeping of the node view.
    int visitCount = 0;
    QElapsedTimer lastVisit;
    bool watching = false;
    // The node this one hangs from; reads as null once that node is gone.
    QPointer<GuiNode> parentNode;

protected:
    void timerEvent(QTimerEvent* event) override;
    void setItemProperty(const char* name, const QVariant& value);

private:
    std::unique_ptr<GuiNodePrivate> d;
};
