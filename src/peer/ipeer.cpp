#include "peer/ipeer.h"
#include "peer/ipeermodelfactory.h"

#include <QCoreApplication>
#include <QMutex>
#include <QMutexLocker>
#include <QStringListModel>
#include <QThread>

class IPeerPrivate
{
public:
    mutable QMutex mutex; // not recursive: identity() runs under it
    bool display = false;
    QString id;
    QString displayName;
    QString icon;
    QString name;
    QString type;
    int activeDisplay = 0;
    int linkState = IPeer::LinkDown;
    int deviceType = IPeer::DeviceUnknown;
    QString platform;
    QAbstractItemModel* driveModel = nullptr;      // owned
    QAbstractItemModel* fileSystemModel = nullptr; // owned

    template <typename T>
    T load(T IPeerPrivate::*field) const
    {
        QMutexLocker lock(&mutex);
        return this->*field;
    }

    // Compares and stores in one critical section; true when the value changed.
    template <typename T>
    bool store(T IPeerPrivate::*field, const T& value)
    {
        QMutexLocker lock(&mutex);
        if (this->*field == value)
            return false;
        this->*field = value;
        return true;
    }
};

namespace {
IPeerModelFactory* s_factory = nullptr;
}

IPeerModelFactory* IPeerModelFactory::installed()
{
    return s_factory;
}

void IPeerModelFactory::install(IPeerModelFactory* factory)
{
    s_factory = factory;
}

IPeer::IPeer(QObject* parent) : QObject(parent), d(new IPeerPrivate)
{
    if (IPeerModelFactory* factory = IPeerModelFactory::installed()) {
        d->driveModel = factory->createDriveModel(this);
        d->fileSystemModel = factory->createFileSystemModel(this);
    }
    if (!d->driveModel)
        d->driveModel = new QStringListModel;
    if (!d->fileSystemModel)
        d->fileSystemModel = new QStringListModel;
    // The views use the models; they belong to the main thread even when the
    // peer is built on the io thread.
    if (QCoreApplication* app = QCoreApplication::instance()) {
        d->driveModel->moveToThread(app->thread());
        d->fileSystemModel->moveToThread(app->thread());
    }
}

IPeer::~IPeer()
{
    // The models may live on another thread than the one destroying the peer.
    if (d->driveModel->thread() == QThread::currentThread())
        delete d->driveModel;
    else
        d->driveModel->deleteLater();
    if (d->fileSystemModel->thread() == QThread::currentThread())
        delete d->fileSystemModel;
    else
        d->fileSystemModel->deleteLater();
}

PeerDto IPeer::identity() const
{
    return PeerDto();
}

QObject* IPeer::extension() const
{
    return nullptr;
}

VfsClient* IPeer::vfsClient() const
{
    return nullptr;
}

QString IPeer::uuid() const
{
    QMutexLocker lock(&d->mutex);
    return identity().uuid;
}

QString IPeer::id() const { return d->load(&IPeerPrivate::id); }
QString IPeer::displayName() const { return d->load(&IPeerPrivate::displayName); }
QString IPeer::icon() const { return d->load(&IPeerPrivate::icon); }
QString IPeer::name() const { return d->load(&IPeerPrivate::name); }
QString IPeer::type() const { return d->load(&IPeerPrivate::type); }
QString IPeer::platform() const { return d->load(&IPeerPrivate::platform); }
bool IPeer::display() const { return d->load(&IPeerPrivate::display); }
int IPeer::activeDisplay() const { return d->load(&IPeerPrivate::activeDisplay); }

IPeer::LinkState IPeer::linkState() const
{
    return LinkState(d->load(&IPeerPrivate::linkState));
}

IPeer::DeviceType IPeer::deviceType() const
{
    return DeviceType(d->load(&IPeerPrivate::deviceType));
}

QAbstractItemModel* IPeer::vfsDriveModel() const
{
    return d->driveModel;
}

QAbstractItemModel* IPeer::vfsFileSystemModel() const
{
    return d->fileSystemModel;
}

void IPeer::setId(const QString& id)
{
    if (d->store(&IPeerPrivate::id, id))
        emit idChanged();
}

void IPeer::setDisplayName(const QString& displayName)
{
    if (d->store(&IPeerPrivate::displayName, displayName))
        emit displayNameChanged();
}

void IPeer::setIcon(const QString& icon)
{
    if (d->store(&IPeerPrivate::icon, icon))
        emit iconChanged();
}

void IPeer::setName(const QString& name)
{
    if (d->store(&IPeerPrivate::name, name))
        emit nameChanged();
}

void IPeer::setType(const QString& type)
{
    if (d->store(&IPeerPrivate::type, type))
        emit typeChanged();
}

void IPeer::setPlatform(const QString& platform)
{
    if (d->store(&IPeerPrivate::platform, platform))
        emit platformChanged();
}

void IPeer::setDisplay(bool display)
{
    if (d->store(&IPeerPrivate::display, display))
        emit displayChanged();
}

void IPeer::setLinkState(LinkState state)
{
    if (d->store(&IPeerPrivate::linkState, int(state)))
        emit linkStateChanged();
}

bool IPeer::compareAndSetLinkState(LinkState expected, LinkState state)
{
    {
        QMutexLocker lock(&d->mutex);
        if (d->linkState != int(expected))
            return false;
        if (expected == state)
            return true;
        d->linkState = int(state);
    }
    emit linkStateChanged();
    return true;
}

void IPeer::setDeviceType(DeviceType type)
{
    if (d->store(&IPeerPrivate::deviceType, int(type)))
        emit deviceTypeChanged();
}

void IPeer::setActiveDisplay(int activeDisplay)
{
    if (d->store(&IPeerPrivate::activeDisplay, activeDisplay))
        emit activeDisplayChanged();
}

void IPeer::connectVfs() {}

void IPeer::disconnectVfs() {}
