#include "nodeview/guinode.h"

#include "core/idatabase.h"
#include "core/logger.h"
#include "models/vfsdrivemodel.h"
#include "nodeview/connectionsitem.h"
#include "peer/ipeer.h"

#include <QBasicTimer>
#include <QHash>
#include <QLocale>
#include <QPointer>
#include <QQmlComponent>
#include <QQmlEngine>
#include <QQuickItem>
#include <QTimerEvent>
#include <QUuid>

namespace {
int s_saveDelayMs = 5000;

// The node files, compiled once per engine (they go with it).
QQmlComponent* componentFor(QQmlEngine* engine, const QString& url)
{
    static QHash<QPair<QQmlEngine*, QString>, QPointer<QQmlComponent>> components;
    const auto key = qMakePair(engine, url);
    QPointer<QQmlComponent>& component = components[key];
    if (!component)
        component = new QQmlComponent(engine, QUrl(url), engine);
    return component.data();
}

QHash<QString, QString>& overriddenUrls()
{
    static QHash<QString, QString> urls;
    return urls;
}

// The style object a row's style text names on the style source: none for
// a colour ("#…") or any other word; "style0" when the named one is missing.
QObject* styleObject(const QString& style, QObject* source)
{
    if (!source || !(style.startsWith(QLatin1String("style")) || style.startsWith(QLatin1String("special"))))
        return nullptr;
    QObject* object = source->property(style.toUtf8().constData()).value<QObject*>();
    if (!object)
        object = source->property("style0").value<QObject*>();
    return object;
}
} // namespace

class GuiNodePrivate
{
public:
    QString peerUuid;
    QString uuid;
    QString vsectorUuid;
    QString path;
    quint64 fileid = 0;
    QString type;
    QString icon;
    QPointer<QQuickItem> item;
    QPointer<ConnectionsItem> connector;
    IPeer* peer = nullptr;
    QBasicTimer saveTimer;
    IDatabase* saveDatabase = nullptr;
    bool deleted = false;
};

GuiNode::GuiNode(QQmlEngine* engine, IPeer* peer, const VNodeDto& row, QObject* styleSource, QObject* parent)
    : QObject(parent), d(new GuiNodePrivate)
{
    d->uuid = row.uuid;
    d->peerUuid = row.peerUuid;
    d->vsectorUuid = row.vsectorUuid;
    d->path = row.path;
    d->type = row.type;
    d->icon = row.icon;
    d->fileid = row.fileid;
    d->peer = peer;

    QObject* style = styleObject(row.style, styleSource);

    const QString url = componentUrl(row.type);
    if (url.isEmpty()) {
        Logger::log(Logger::ERR1, "node %s: no node file for type \"%s\"", qUtf8Printable(row.uuid),
                    qUtf8Printable(row.type));
        return;
    }
    if (!engine) {
        Logger::log(Logger::ERR1, "node %s: no engine", qUtf8Printable(row.uuid));
        return;
    }
    QQmlComponent* component = componentFor(engine, url);
    if (!component->isReady()) {
        // Only a ready component is asked for an object: anything else
        // would only add a warning to the errors logged here.
        Logger::log(Logger::ERR1, "node %s: %s does not build: %s", qUtf8Printable(row.uuid), qUtf8Printable(url),
                    qUtf8Printable(component->errorString()));
        return;
    }
    QObject* object = component->create();
    auto* item = qobject_cast<QQuickItem*>(object);
    if (!item) {
        Logger::log(Logger::ERR1, "node %s: %s gives no item", qUtf8Printable(row.uuid), qUtf8Printable(url));
        delete object;
        return;
    }
    d->item = item;
    QQmlEngine::setObjectOwnership(item, QQmlEngine::CppOwnership);
    item->setParent(this);
    item->setVisible(true);
    setItemProperty("needSafe", false);

    if (row.type == QLatin1String("drive") && peer) {
        if (auto* drives = qobject_cast<VfsDriveModel*>(peer->vfsDriveModel())) {
            const VfsDrive drive = drives->driveForPath(row.path);
            if (!drive.path.isEmpty())
                setItemProperty("totalSize", drive.formattedSize());
        }
    }

    setItemProperty("x", row.x);
    setItemProperty("y", row.y);
    setItemProperty("uuid", row.uuid);
    setItemProperty("name", row.name);
    setItemProperty("icon", row.icon);
    setItemProperty("path", row.path);

    QObject* view = parent;
    const QString& type = row.type;
    if (type == QLatin1String("drive") || type == QLatin1String("directory") || type == QLatin1String("network")
        || type == QLatin1String("file")) {
        setItemProperty("peerUuid", row.peerUuid);
        setItemProperty("peer", QVariant::fromValue<IPeer*>(peer));
        setItemProperty("type", row.type);
        if (view) {
            connect(item, SIGNAL(nodeDoubleClicked(QString, QString)), view, SIGNAL(nodeDoubleClicked(QString, QString)));
            connect(item, SIGNAL(nodeClicked()), view, SLOT(nodeClicked()));
            connect(item, SIGNAL(nodeAlternateClicked()), view, SIGNAL(activateAlternateFilerpane()));
            connect(item, SIGNAL(contextMenuRequest()), view, SLOT(nodeContextMenuRequest()));
        }
    } else if (type == QLatin1String("peer")) {
        setItemProperty("type", row.type);
        if (view) {
            connect(item, SIGNAL(nodeAlternateClicked()), view, SIGNAL(activateAlternateFilerpane()));
            connect(item, SIGNAL(nodeClicked()), view, SLOT(nodeClicked()));
            connect(item, SIGNAL(nodeDoubleClicked(QString)), view, SIGNAL(peerClicked(QString)));
            connect(item, SIGNAL(contextMenuRequest()), view, SLOT(nodeContextMenuRequest()));
        }
    } else if (type == QLatin1String("sector")) {
        setItemProperty("sectorUuid", row.vsectorUuid);
        if (view) {
            connect(item, SIGNAL(nodeClicked()), view, SLOT(sectorNodeClicked()));
            connect(item, SIGNAL(contextMenuRequest()), view, SLOT(sectorContextMenuRequest()));
            connect(item, SIGNAL(editStateChanged()), view, SLOT(onSectorNameEdited()));
        }
    }

    if (style && type != QLatin1String("peer"))
        setItemProperty("style", QVariant::fromValue<QObject*>(style));

    if (view) {
        connect(item, SIGNAL(xChanged()), view, SLOT(onNodeMoved()));
        connect(item, SIGNAL(yChanged()), view, SLOT(onNodeMoved()));
    }
}

GuiNode::~GuiNode()
{
    if (d->connector) {
        d->connector->setVisible(false);
        d->connector->deleteLater();
    }
    d->saveTimer.stop();
}

QString GuiNode::componentUrl(const QString& type)
{
    const QString overridden = overriddenUrls().value(type);
    if (!overridden.isEmpty())
        return overridden;
    if (type == QLatin1String("drive"))
        return QStringLiteral("qrc:/qml/DriveNode.qml");
    if (type == QLatin1String("directory") || type == QLatin1String("network"))
        return QStringLiteral("qrc:/qml/DirectoryNode.qml");
    if (type == QLatin1String("file"))
        return QStringLiteral("qrc:/qml/FileNode.qml");
    if (type == QLatin1String("sector"))
        return QStringLiteral("qrc:/qml/SectorNode.qml");
    if (type == QLatin1String("peer"))
        return QStringLiteral("qrc:/qml/PeerNode.qml");
    return QString();
}

void GuiNode::setComponentUrl(const QString& type, const QString& url)
{
    if (url.isEmpty())
        overriddenUrls().remove(type);
    else
        overriddenUrls().insert(type, url);
}

int GuiNode::saveDelayMs()
{
    return s_saveDelayMs;
}

void GuiNode::setSaveDelayMs(int ms)
{
    s_saveDelayMs = qMax(0, ms);
}

QQuickItem* GuiNode::item() const { return d->item.data(); }
IPeer* GuiNode::peer() const { return d->peer; }
QString GuiNode::uuid() const { return d->uuid; }
QString GuiNode::peerUuid() const { return d->peerUuid; }
QString GuiNode::vsectorUuid() const { return d->vsectorUuid; }
QString GuiNode::type() const { return d->type; }
QString GuiNode::path() const { return d->path; }
void GuiNode::setPath(const QString& path) { d->path = path; }
QString GuiNode::icon() const { return d->icon; }
quint64 GuiNode::fileId() const { return d->fileid; }
void GuiNode::setFileId(quint64 fileId) { d->fileid = fileId; }
ConnectionsItem* GuiNode::connector() const { return d->connector.data(); }
void GuiNode::setConnector(ConnectionsItem* connector) { d->connector = connector; }

void GuiNode::setItemProperty(const char* name, const QVariant& value)
{
    if (d->item)
        d->item->setProperty(name, value);
}

void GuiNode::restartTimer(IDatabase* db)
{
    if (d->deleted)
        return;
    d->saveDatabase = db;
    d->saveTimer.start(s_saveDelayMs, Qt::PreciseTimer, this);
}

bool GuiNode::isSavePending() const
{
    return d->saveTimer.isActive();
}

void GuiNode::timerEvent(QTimerEvent* event)
{
    if (event->timerId() != d->saveTimer.timerId())
        return;
    d->saveTimer.stop();
    save(d->saveDatabase);
}

bool GuiNode::save(IDatabase* db)
{
    if (!d->item || !db || d->deleted)
        return false;
    const QString name = d->item->property("name").toString();
    const QString path = d->item->property("path").toString();
    QObject* style = d->item->property("style").value<QObject*>();
    d->icon = d->item->property("icon").toString();
    QString styleName = style ? style->property("name").toString() : QString();
    if (styleName.isEmpty())
        styleName = QStringLiteral("style0");
    if (d->peerUuid.isEmpty())
        return false;
    if (d->uuid.isEmpty())
        d->uuid = QUuid::createUuid().toString();
    const VNodeDto row{ d->uuid,
                        d->peerUuid,
                        d->vsectorUuid,
                        name,
                        styleName,
                        path,
                        d->type,
                        d->icon,
                        d->fileid,
                        d->item->x(),
                        d->item->y() };
    if (!db->putVNode(row))
        Logger::log(Logger::ERR1, "node %s could not be stored", qUtf8Printable(d->uuid));
    setItemProperty("needSafe", false);
    return true;
}

bool GuiNode::isDeleted() const
{
    return d->deleted;
}

bool GuiNode::deleteFromDatabase(IDatabase* db)
{
    d->deleted = true;
    d->saveTimer.stop();
    d->saveDatabase = nullptr;
    if (!d->uuid.isEmpty() && db)
        db->deleteVNode(d->uuid);
    return true;
}
