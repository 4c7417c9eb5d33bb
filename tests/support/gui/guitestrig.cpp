#include "support/gui/guitestrig.h"

#include "core/databasesqlite.h"
#include "models/vfsmodelfactory.h"
#include "peer/invitationmodel.h"
#include "peer/peeraclmodel.h"
#include "peer/peermodel.h"
#include "peer/peervelm.h"
#include "vfs/client/vfsclientvelm.h"
#include "vfs/loopback/vfsloopbacklink.h"
#include "vfs/protocol/drivecache.h"
#include "vfs/server/vfsservervelm.h"
#include "window/mainwindow.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QRegularExpression>
#include <QThreadPool>
#include <QUuid>
#include <QtTest>

// ---- QmlWarningGuard

namespace {
QtMessageHandler s_previousHandler = nullptr;
QMutex s_messagesMutex;
QStringList s_messages;

void guardHandler(QtMsgType type, const QMessageLogContext& context, const QString& message)
{
    // QML's console prints count as well: the program's QML prints nothing.
    const QLatin1String category(context.category ? context.category : "");
    const bool consolePrint = category == QLatin1String("qml") || category == QLatin1String("js");
    if ((consolePrint || (type != QtDebugMsg && type != QtInfoMsg)) && QmlWarningGuard::isQmlMessage(context, message)) {
        {
            QMutexLocker lock(&s_messagesMutex);
            s_messages << message;
        }
        if (QThread::currentThread() == QCoreApplication::instance()->thread())
            QTest::qFail(qPrintable(QStringLiteral("QML warning: ") + message), __FILE__, __LINE__);
    }
    if (s_previousHandler)
        s_previousHandler(type, context, message);
}
} // namespace

QmlWarningGuard::QmlWarningGuard()
{
    clear();
    s_previousHandler = qInstallMessageHandler(guardHandler);
}

QmlWarningGuard::~QmlWarningGuard()
{
    qInstallMessageHandler(s_previousHandler);
    s_previousHandler = nullptr;
}

QStringList QmlWarningGuard::messages()
{
    QMutexLocker lock(&s_messagesMutex);
    return s_messages;
}

void QmlWarningGuard::clear()
{
    QMutexLocker lock(&s_messagesMutex);
    s_messages.clear();
}

bool QmlWarningGuard::isQmlMessage(const QMessageLogContext& context, const QString& message)
{
    const QString category = QString::fromLatin1(context.category ? context.category : "");
    if (category == QLatin1String("qml") || category == QLatin1String("js") || category.startsWith(QLatin1String("qt.qml"))
        || category.startsWith(QLatin1String("qt.quick")))
        return true;
    static const QRegularExpression located(QStringLiteral("^(qrc|file|image):.*:\\d+(:\\d+)?:? "));
    return located.match(message).hasMatch() || message.contains(QLatin1String("QQmlComponent"))
           || message.contains(QLatin1String("QQmlExpression")) || message.contains(QLatin1String("QQuickStyle")) || message.contains(QLatin1String("Binding loop"));
}

// ---- StandInConnectionManager

StandInConnectionManager::StandInConnectionManager(IDatabase* db) : ConnectionManager(db) {}

void StandInConnectionManager::setNetworkEnabled(bool networkEnabled)
{
    QMutexLocker lock(&m_mutex);
    m_calls.push_back(Call{ networkEnabled, QThread::currentThread() });
}

void StandInConnectionManager::announceStarted()
{
    QMetaObject::invokeMethod(this, [this] { emit started(); }, Qt::QueuedConnection);
}

std::vector<TransportDto> StandInConnectionManager::localTransports() const
{
    return { TransportDto{ QStringLiteral("{5a0c6e4e-4b7a-4f7e-9a51-6f0d1c0a7e01}"), QStringLiteral("tcp"),
                           QStringLiteral("192.0.2.1"), 60391, QDateTime::currentSecsSinceEpoch(), true } };
}

std::vector<StandInConnectionManager::Call> StandInConnectionManager::calls() const
{
    QMutexLocker lock(&m_mutex);
    return m_calls;
}

// ---- RigPeer

RigPeer::RigPeer(const QString& uuid, QObject* parent)
    : IPeer(parent), m_uuid(uuid), m_aclModel(new PeerAclModel(this))
{
    setType(QStringLiteral("velm"));
    setId(uuid);
}

PeerDto RigPeer::identity() const
{
    return PeerDto{ m_uuid, QStringLiteral("velm"), QDateTime() };
}

PeerAclModel* RigPeer::aclModel() const
{
    return m_aclModel;
}

VfsClient* RigPeer::vfsClient() const
{
    return client;
}

// ---- GuiTestRig

struct GuiTestRig::Served
{
    QString root;
    std::unique_ptr<VfsServerVelm> server;
    std::unique_ptr<VfsClientVelm> client;
    std::unique_ptr<VfsLoopbackLink> link;
};

GuiTestRig::GuiTestRig()
{
    m_oldHome = qgetenv("HOME");
    const QString home = m_dir.filePath(QStringLiteral("home"));
    QDir().mkpath(home + QStringLiteral("/.config/velm"));
    qputenv("HOME", QFile::encodeName(home));
    qputenv("XDG_CONFIG_HOME", QFile::encodeName(home + QStringLiteral("/.config")));
    qputenv("XDG_DATA_HOME", QFile::encodeName(home + QStringLiteral("/.local/share")));
    qputenv("XDG_CACHE_HOME", QFile::encodeName(home + QStringLiteral("/.cache")));
    QFile config(configDirectory() + QStringLiteral("/config.ini"));
    if (config.open(QIODevice::WriteOnly))
        config.write("[Network]\nstunServers=\n");
    config.close();

    m_guard.reset(new QmlWarningGuard);
    VfsModelFactory::install();
    m_peerModel.reset(new PeerModel);
    m_database.reset(new DatabaseSqlite(configDirectory() + QStringLiteral("/velm.db")));
    m_invitations.reset(new InvitationModel(m_database.get()));

    m_ioThread.setObjectName(QStringLiteral("ioThread"));
    m_manager = new StandInConnectionManager(m_database.get());
    m_manager->moveToThread(&m_ioThread);
    m_ioThread.start();

    m_ownPeer = addServedPeer(ownPeerUuid(), QStringLiteral("This PC"), 0, IPeer::LinkUp);
    storePeer(ownPeerUuid());
}

GuiTestRig::~GuiTestRig()
{
    m_ioThread.quit();
    m_ioThread.wait();
    delete m_manager;
    // The peers (and their models) before the links their clients hang on.
    m_peerModel.reset();
    QThreadPool::globalInstance()->waitForDone();
    m_served.clear();
    m_invitations.reset();
    m_database.reset();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    m_guard.reset();
    qputenv("HOME", m_oldHome);
}

QString GuiTestRig::home() const
{
    return m_dir.filePath(QStringLiteral("home"));
}

QString GuiTestRig::configDirectory() const
{
    return home() + QStringLiteral("/.config/velm");
}

DatabaseSqlite* GuiTestRig::database() const { return m_database.get(); }
PeerModel* GuiTestRig::peerModel() const { return m_peerModel.get(); }
StandInConnectionManager* GuiTestRig::manager() const { return m_manager; }
RigPeer* GuiTestRig::ownPeer() const { return m_ownPeer; }

RigPeer* GuiTestRig::addPeer(const QString& name, int delayMs, IPeer::LinkState state)
{
    return addServedPeer(QUuid::createUuid().toString(), name, delayMs, state);
}

RigPeer* GuiTestRig::addServedPeer(const QString& uuid, const QString& name, int delayMs, IPeer::LinkState state)
{
    auto served = std::make_unique<Served>();
    served->root = m_dir.filePath(QStringLiteral("trees/") + QString::number(m_served.size()));
    QDir().mkpath(served->root + QStringLiteral("/folder"));
    for (const char* file : { "/notes.txt", "/folder/inner.txt" }) {
        QFile f(served->root + QLatin1String(file));
        if (f.open(QIODevice::WriteOnly))
            f.write("velm\n");
    }
    served->server.reset(new VfsServerVelm(VfsServerVelm::Unrestricted));
    const QString root = served->root;
    std::shared_ptr<bool> atSlash = m_drivesAtSlash;
    served->server->setDriveSource([root, atSlash] {
        DriveCache drive;
        drive.rootPath = *atSlash ? QByteArray("/") : root.toUtf8();
        drive.name = "tree";
        drive.bytesTotal = 1000000000ull;
        drive.bytesAvailable = 500000000ull;
        drive.type = DriveCache::FixedDisk;
        return std::vector<DriveCache>{ drive };
    });
    served->client.reset(new VfsClientVelm);
    served->link.reset(new VfsLoopbackLink(served->client.get(), served->server.get()));
    served->link->setDelay(delayMs);

    auto* peer = new RigPeer(uuid);
    peer->setName(name);
    peer->client = served->client.get();
    VfsModelFactory::instance()->connectClient(peer, served->client.get());
    peer->setLinkState(state);
    m_peerModel->addPeer(peer);
    m_served.push_back(std::move(served));
    return peer;
}

QString GuiTestRig::root(RigPeer* peer) const
{
    for (int row = 0; row < m_peerModel->rowCount(); ++row) {
        if (m_peerModel->getPeerForRow(row) == peer)
            return size_t(row) < m_served.size() ? m_served[size_t(row)]->root : QString();
    }
    return QString();
}

void GuiTestRig::setShares(RigPeer* peer, const std::vector<PeerAclDto>& shares)
{
    for (int row = 0; row < m_peerModel->rowCount(); ++row) {
        if (m_peerModel->getPeerForRow(row) == peer && size_t(row) < m_served.size())
            m_served[size_t(row)]->server->setShares(shares);
    }
}

void GuiTestRig::setDrivesAtSlash(bool atSlash)
{
    *m_drivesAtSlash = atSlash;
}

VfsServerVelm* GuiTestRig::server(RigPeer* peer) const
{
    for (int row = 0; row < m_peerModel->rowCount(); ++row) {
        if (m_peerModel->getPeerForRow(row) == peer)
            return size_t(row) < m_served.size() ? m_served[size_t(row)]->server.get() : nullptr;
    }
    return nullptr;
}

void GuiTestRig::storePeer(const QString& uuid)
{
    m_database->putPeer(PeerDto{ uuid, QStringLiteral("velm"), QDateTime::currentDateTimeUtc() });
}

void GuiTestRig::setDrivePath(RigPeer* peer, const QString& drivePath)
{
    for (int row = 0; row < m_peerModel->rowCount(); ++row) {
        if (m_peerModel->getPeerForRow(row) != peer || size_t(row) >= m_served.size())
            continue;
        const QByteArray path = drivePath.toUtf8();
        m_served[size_t(row)]->server->setDriveSource([path] {
            DriveCache drive;
            drive.rootPath = path;
            drive.name = "tree";
            drive.bytesTotal = 1000000000ull;
            drive.bytesAvailable = 500000000ull;
            drive.type = DriveCache::FixedDisk;
            return std::vector<DriveCache>{ drive };
        });
    }
}

std::unique_ptr<MainWindow> GuiTestRig::createWindow()
{
    return std::make_unique<MainWindow>(m_manager, m_database.get());
}
