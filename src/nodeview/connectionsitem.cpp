#include "nodeview/connectionsitem.h"

#include <QPointer>

class ConnectionsItemPrivate
{
public:
    bool dirty = true;
    QPointer<QQuickItem> target;
};

ConnectionsItem::ConnectionsItem(QQuickItem* target, QQuickItem* parent)
    : QQuickItem(parent), d(new ConnectionsItemPrivate)
{
    d->target = target;
    setSize(QSizeF(2, 2));
    setClip(false);
    setAntialiasing(true);
}

ConnectionsItem::~ConnectionsItem() = default;

void ConnectionsItem::markDirty()
{
    d->dirty = true;
    update();
}

bool ConnectionsItem::isDirty() const
{
    return d->dirty;
}

QQuickItem* ConnectionsItem::target() const
{
    return d->target.data();
}
