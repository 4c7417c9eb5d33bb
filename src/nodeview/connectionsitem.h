#pragma once

#include <QQuickItem>

#include <memory>

class ConnectionsItemPrivate;

// The connector of a node: the item that will compute the curves from a node
// to the nodes hanging from it. For now it only keeps its node and whether
// the curves would need computing again; it writes no curve points and
// draws nothing, so the node files keep their curves hidden.
class ConnectionsItem : public QQuickItem
{
    Q_OBJECT
public:
    // `target` is the node's item, `parent` the item the node lies in.
    ConnectionsItem(QQuickItem* target, QQuickItem* parent);
    ~ConnectionsItem() override;

    // The curves must be computed again (nodes moved, relations changed).
    void markDirty();
    bool isDirty() const;
    // Null once the node's item is gone.
    QQuickItem* target() const;

private:
    std::unique_ptr<ConnectionsItemPrivate> d;
};
