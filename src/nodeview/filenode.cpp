#include "nodeview/filenode.h"

#include "models/preview.h"
#include "quick/themeimageprovider.h"

#include <QQuickItem>
#include <QTimer>
#include <QUrl>

class FileNodePrivate
{
public:
    QTimer* iconTimer = nullptr;
};

FileNode::FileNode(QQmlEngine* engine, IPeer* peer, const VNodeDto& row, QObject* styleSource, QObject* parent)
    : GuiNode(engine, peer, row, styleSource, parent), d(new FileNodePrivate)
{
    d->iconTimer = new QTimer(this);
    d->iconTimer->setSingleShot(true);
    connect(d->iconTimer, &QTimer::timeout, this, &FileNode::timerFired);
    d->iconTimer->start(IconDelayMs);
}

FileNode::~FileNode() = default;

QString FileNode::iconUrl(const QString& peerUuid, const QString& path)
{
    if (Preview::canPreview(peerUuid, path))
        return QStringLiteral("image://preview/%1/%2")
            .arg(peerUuid, QString::fromLatin1(QUrl::toPercentEncoding(path, QByteArrayLiteral("/"))));
    return ThemeImageProvider::fileIconUrl(path);
}

void FileNode::timerFired()
{
    setItemProperty("icon", iconUrl(peerUuid(), path()));
}
