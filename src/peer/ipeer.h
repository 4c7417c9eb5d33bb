#pragma once

#include "core/peerdto.h"

#include <QObject>
#include <QString>

#include <memory>

class IPeerPrivate;
class QAbstractItemModel;
class VfsClient;

// A machine of the user's network as the views and QML scenes see it: display
// properties guarded by one mutex and announced by change signals, the
// peer's drive and file-system models, and the few operations the link
// implementation fills in.
//
// Every property may be read and written from the io thread and the main
// thread; each setter compares and stores in one critical section and emits
// outside it, so a value is announced exactly once per change.
class IPeer : public QObject
{
    Q_OBJECT
    Q_PROPERTY(QString id READ id WRITE setId NOTIFY idChanged)
    Q_PROPERTY(QString uuid READ uuid NOTIFY uuidChanged)
    Q_PROPERTY(QString displayName READ displayName WRITE setDisplayName NOTIFY displayNameChanged)
    Q_PROPERTY(QString icon READ icon WRITE setIcon NOTIFY iconChanged)
    Q_PROPERTY(QString name READ name WRITE setName NOTIFY nameChanged)
    Q_PROPERTY(QString type READ type WRITE setType NOTIFY typeChanged)
    Q_PROPERTY(QString platform READ platform WRITE setPlatform NOTIFY platformChanged)
    Q_PROPERTY(bool display READ display WRITE setDisplay NOTIFY displayChanged)
    Q_PROPERTY(LinkState linkState READ linkState WRITE setLinkState NOTIFY linkStateChanged)
    Q_PROPERTY(DeviceType deviceType READ deviceType WRITE setDeviceType NOTIFY deviceTypeChanged)
    Q_PROPERTY(QAbstractItemModel* vfsDriveModel READ vfsDriveModel NOTIFY vfsDriveModelChanged)
    Q_PROPERTY(QAbstractItemModel* vfsFileSystemModel READ vfsFileSystemModel NOTIFY vfsFileSystemModelChanged)
    Q_PROPERTY(int activeDisplay READ activeDisplay WRITE setActiveDisplay NOTIFY activeDisplayChanged)

public:
    enum LinkState {
        LinkDown = 0,       // no working link; the supervisor will try to connect
        LinkReachable = 1,  // declared for the views; nothing sets it
        LinkConnecting = 2, // a handshake request is out, no answer yet
        LinkUp = 3,         // keys and sessions are set; file-system traffic flows
    };
    Q_ENUM(LinkState)

    enum DeviceType { DeviceUnknown = 0, DeviceDesktop = 1, DeviceLaptop = 2 };
    Q_ENUM(DeviceType)

    explicit IPeer(QObject* parent = nullptr);
    ~IPeer() override;

    // uuid, type and time stamp of the peer. Called with the property mutex
    // held: an implementation must not take it.
    virtual PeerDto identity() const;
    // Reserved query; no peer of this program answers it.
    virtual QObject* extension() const;
    // The peer's file-system client; null until a link implementation has one.
    virtual VfsClient* vfsClient() const;

    QString id() const;
    QString uuid() const;
    QString displayName() const;
    QString icon() const;
    QString name() const;
    QString type() const;
    QString platform() const;
    bool display() const;
    LinkState linkState() const;
    DeviceType deviceType() const;
    int activeDisplay() const;

    // Never null; both live on the main thread whatever thread built the peer.
    QAbstractItemModel* vfsDriveModel() const;
    QAbstractItemModel* vfsFileSystemModel() const;

    void setId(const QString& id);
    void setDisplayName(const QString& displayName);
    void setIcon(const QString& icon);
    void setName(const QString& name);
    void setType(const QString& type);
    void setPlatform(const QString& platform);
    void setDisplay(bool display);
    void setLinkState(LinkState state);
    void setDeviceType(DeviceType type);
    void setActiveDisplay(int activeDisplay);

    // Sets the link state only if it is `expected`; returns whether it did.
    // The change signal follows outside the lock.
    bool compareAndSetLinkState(LinkState expected, LinkState state);

signals:
    void receivedData();
    void idChanged();
    void uuidChanged();
    void displayNameChanged();
    void iconChanged();
    void nameChanged();
    void typeChanged();
    void linkStateChanged();
    void deviceTypeChanged();
    void platformChanged();
    void displayChanged();
    void vfsDriveModelChanged();
    void vfsFileSystemModelChanged();
    void activeDisplayChanged();

public slots:
    virtual void connectVfs();
    virtual void disconnectVfs();

private:
    std::unique_ptr<IPeerPrivate> d; // the properties and the mutex that guards them
};

Q_DECLARE_METATYPE(IPeer*)
