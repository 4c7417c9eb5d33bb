// velmdriver: the engine of Velm without its window, for end-to-end tests.
//
// Starts the engine the way the program does (logging channels, machine
// class, settings in --config-dir, velm.db, the watcher, the peer model, the
// connection manager on an io thread), switches the network on once the
// manager has started, prints {"event":"ready"} and then reads one command per
// line on stdin. Every command is answered with exactly one line of JSON on
// stdout carrying "ok" (true or false); failures carry "error". Commands run
// one at a time, in the order they arrive; a listing is answered once the
// peer has replied (or the client has given up).
//
//   status                    {"ready", "port", "listening", "addresses", "onion"}
//   invite <password>         {"url", "id"}     stores the invitation row too
//   accept <url> <password>   {"result"}        "new", "known" or "own"
//   invitations               {"count"}         invitation rows stored
//   invpw <password>          {}                keeps a password under which announced
//                                               invitations are accepted
//   invitationmodel           {"rows": [{"uuid", "name", "expires"}]}  the invitation model's rows
//   lan                       {"enabled", "group", "port", "bound", "joined", "active", "interval",
//                              "txCache", "received", "announcements", "matches", "decodes"}
//                                               the LAN announcer of invitations
//   storedpeers               {"count"}         peer rows stored, the own one left out
//   counters                  {"pkiReceived"}   public-key messages that reached the registry
//   peers                     {"peers": [{"uuid", "name", "state", "attempts", "everUp"}]}
//   share <peer> <path>       {"share"}         a readable folder share
//   sharerw <peer> <path>     {"share"}         a readable and writable folder share
//   sharedrive <peer> <path>  {"share"}         a readable drive share
//   localdrives               {"drives": [{"name", "path"}]}
//   drives <peer>             {"status", "drives": [{"name", "path"}]}
//   list <peer> <path>        {"status", "entries": [{"name", "type"}]}
//   copy <peer> <path> <dir>  {"result", "seconds", "bytes", "bytesTotal", "files", "retries",
//                              "failed": [{"path", "reason"}]}
//                             copies the peer's file or folder into a local
//                             directory, replacing what is there; answered when
//                             the job has finished ("finished") or given up
//                             ("aborted", with "prompt"); "lastFailure" carries
//                             the job's last failure where the job tells it,
//                             "failed" the files it gave up on (English texts)
//   cut <peer> <path> <dir>   as copy, then deletes on the peer what the copy
//                             verified, as the job manager does after a cut;
//                             adds {"kept": [{"path", "reason"}], "cut": "finished"
//                             or "aborted"}
//   caps                      {"copyGuards"} whether the copy job keeps a file
//                             it could not verify out of sight (temporary part
//                             files, change checks, failure reasons)
//   linkinfo <peer>           sessions, endpoints and transports of the link (each
//                             with its state, rtt and the age of its last receive)
//   udp <peer>                {"natType", "transports": [{"state", "localPort", "natType",
//                             "rtt", "peers": ["host:port"], "publicHosts": ["host:port"]}]}
//                             the UDP transports of the link
//   quit                      {} and the process ends
//
// It starts as the program does: a second driver on the same configuration
// directory, or one whose velm.db cannot be used, says why on stderr and ends
// with the program's exit code; problems found later (a listening port that
// is taken) are said on stderr too.
//
// Options: --config-dir=DIR, --com-listen-port=N, --turn=0, as the program
// reads them, and the driver's own:
//   --tor=1                   runs the Tor service (off unless given: no tor
//                             is started by accident)
//   --tor-control-port=N      its control port (default 9451)
//   --tor-socks-port=N        its SOCKS port (default 9350)
//   --invite-transports=T,... only these transport types go into invitations
//
// The LAN announcer stays off unless config.ini names its multicast group
// ("lan/multicastGroup"): a test sends multicast only where it has made a
// route for it.

#include "com/link/com.h"
#include "com/link/endpoint.h"
#include "com/kcp/kcp.h"
#include "com/tor/torhiddenservice.h"
#include "com/transport/transport.h"
#include "com/transport/transportudp.h"
#include "core/appsettings.h"
#include "core/databasesqlite.h"
#include "core/instancelock.h"
#include "core/logger.h"
#include "core/machineclassifier.h"
#include "core/startupreport.h"
#include "manager/connectionmanager.h"
#include "peer/invitationmodel.h"
#include "peer/lan/upnp.h"
#include "peer/peerfactory.h"
#include "peer/peermodel.h"
#include "peer/peervelm.h"
#include "vfs/client/vfsclientvelm.h"
#include "jobs/vfscopydto.h"
#include "jobs/vfscopyjob.h"
#include "jobs/vfsdeletejob.h"
#include "vfs/protocol/fsostatus.h"
#include "vfs/watch/vfswatcher.h"
#include "support/driver/driverstartup.h"
#include "support/idtranslator.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QMutex>
#include <QMetaMethod>
#include <QMutexLocker>
#include <QPointer>
#include <QSettings>
#include <QThread>
#include <QThreadPool>
#include <QUuid>

#include <algorithm>
#include <atomic>
#include <csignal>
#include <cstdio>
#include <algorithm>
#include <deque>
#include <functional>
#include <iostream>
#include <map>
#include <memory>
#include <string>

namespace {

constexpr qint64 InvitationLifetimeSecs = 24 * 3600;

const char* linkStateName(IPeer::LinkState state)
{
    switch (state) {
    case IPeer::LinkDown:
        return "LinkDown";
    case IPeer::LinkReachable:
        return "LinkReachable";
    case IPeer::LinkConnecting:
        return "LinkConnecting";
    case IPeer::LinkUp:
        return "LinkUp";
    }
    return "unknown";
}

QJsonObject failure(const QString& error)
{
    return QJsonObject{{QStringLiteral("ok"), false}, {QStringLiteral("error"), error}};
}

QJsonObject success(QJsonObject fields = {})
{
    fields.insert(QStringLiteral("ok"), true);
    return fields;
}

void printLine(const QJsonObject& object)
{
    const QByteArray line = QJsonDocument(object).toJson(QJsonDocument::Compact) + '\n';
    std::fwrite(line.constData(), 1, std::size_t(line.size()), stdout);
    std::fflush(stdout);
}

// What the driver saw of one peer's link: the number of handshake attempts
// (entries into LinkConnecting) and whether it was ever up. Written from the
// thread that changed the state.
struct LinkHistory
{
    int attempts = 0;
    bool everUp = false;
};

class Driver : public QObject
{
public:
    Driver(IDatabase* db, PeerModel* model, ConnectionManager* manager)
        : m_db(db), m_model(model), m_manager(manager)
    {
        connect(model, &QAbstractItemModel::rowsInserted, this, [this](const QModelIndex&, int first, int last) {
            for (int row = first; row <= last; ++row)
                watchPeer(m_model->getPeerForRow(row));
        });
    }

    // Io thread, once the registry exists.
    void countPublicKeyMessages(com::Com* com)
    {
        connect(com, &com::Com::receivedPubkeyEncryptedMessage, com,
                [this](TransportDto, const quint8*, size_t) { ++m_pkiReceived; }, Qt::DirectConnection);
    }

    // Main thread: the manager has switched the network on.
    void networkStarted()
    {
        m_ready = true;
        printLine(QJsonObject{{QStringLiteral("event"), QStringLiteral("ready")}});
        runNext();
    }

    // Main thread: one line from stdin.
    void enqueue(const QString& line)
    {
        m_pending.push_back(line);
        runNext();
    }

private:
    void watchPeer(IPeer* peer)
    {
        if (!peer)
            return;
        const QString uuid = peer->uuid();
        // Direct: a state set on the io thread is seen before it can change again.
        connect(peer, &IPeer::linkStateChanged, this, [this, peer, uuid] {
            const IPeer::LinkState state = peer->linkState();
            QMutexLocker lock(&m_historyMutex);
            LinkHistory& history = m_history[uuid];
            if (state == IPeer::LinkConnecting)
                ++history.attempts;
            if (state == IPeer::LinkUp)
                history.everUp = true;
        }, Qt::DirectConnection);
        const IPeer::LinkState state = peer->linkState();
        QMutexLocker lock(&m_historyMutex);
        if (state == IPeer::LinkUp)
            m_history[uuid].everUp = true;
    }

    void answer(const QJsonObject& object)
    {
        printLine(object);
        m_busy = false;
        runNext();
    }

    void runNext()
    {
        while (m_ready && !m_busy && !m_pending.empty()) {
            const QString line = m_pending.front();
            m_pending.pop_front();
            m_busy = true;
            run(line);
        }
    }

    // Answers at once, or later for listings.
    void run(const QString& line)
    {
        const QString command = line.section(QLatin1Char(' '), 0, 0, QString::SectionSkipEmpty);
        const QString rest = line.section(QLatin1Char(' '), 1, -1, QString::SectionSkipEmpty);
        const QString first = rest.section(QLatin1Char(' '), 0, 0);
        const QString afterFirst = rest.section(QLatin1Char(' '), 1);

        if (command == QLatin1String("status"))
            answer(status());
        else if (command == QLatin1String("invite"))
            answer(invite(rest));
        else if (command == QLatin1String("accept"))
            answer(accept(first, afterFirst));
        else if (command == QLatin1String("invitations"))
            answer(success({{QStringLiteral("count"), int(m_db->getInvitations().size())}}));
        else if (command == QLatin1String("invpw"))
            answer(rest.isEmpty() ? failure(QStringLiteral("usage: invpw <password>"))
                   : PeerFactory::addInvitationPassword(m_db, rest) ? success()
                                                                    : failure(QStringLiteral("not stored")));
        else if (command == QLatin1String("invitationmodel"))
            answer(invitationModel());
        else if (command == QLatin1String("lan"))
            answer(lan());
        else if (command == QLatin1String("storedpeers"))
            answer(storedPeers());
        else if (command == QLatin1String("counters"))
            answer(success({{QStringLiteral("pkiReceived"), qint64(m_pkiReceived.load())}}));
        else if (command == QLatin1String("peers"))
            answer(peers());
        else if (command == QLatin1String("share"))
            answer(share(first, afterFirst, VfsShareFolder));
        else if (command == QLatin1String("sharerw"))
            answer(share(first, afterFirst, VfsShareWritable));
        else if (command == QLatin1String("caps"))
            answer(success({{QStringLiteral("copyGuards"), copyGuards()}}));
        else if (command == QLatin1String("cut"))
            copy(first, afterFirst.section(QLatin1Char(' '), 0, 0), afterFirst.section(QLatin1Char(' '), 1), true);
        else if (command == QLatin1String("sharedrive"))
            answer(share(first, afterFirst, VfsShareDrive));
        else if (command == QLatin1String("localdrives"))
            answer(localDrives());
        else if (command == QLatin1String("drives"))
            listDrives(first);
        else if (command == QLatin1String("list"))
            listDirectory(first, afterFirst);
        else if (command == QLatin1String("copy"))
            copy(first, afterFirst.section(QLatin1Char(' '), 0, 0), afterFirst.section(QLatin1Char(' '), 1));
        else if (command == QLatin1String("linkinfo"))
            answer(linkInfo(first));
        else if (command == QLatin1String("udp"))
            answer(udpInfo(first));
        else if (command == QLatin1String("quit")) {
            printLine(success());
            QCoreApplication::quit();
        } else
            answer(failure(QStringLiteral("unknown command: ") + command));
    }

    QJsonObject status() const
    {
        // The registry lives on the io thread: ask it there.
        QJsonObject result;
        const bool ready = m_ready;
        QMetaObject::invokeMethod(m_manager, [this, ready, &result] {
            com::Com* com = m_manager->com();
            QJsonArray addresses;
            for (const QHostAddress& address : m_manager->localAddresses())
                addresses.append(address.toString());
            TorHiddenService* tor = m_manager->torService();
            result = success({{QStringLiteral("ready"), ready},
                              {QStringLiteral("port"), com ? int(com->listenPort()) : 0},
                              {QStringLiteral("listening"), com && com->isListening()},
                              {QStringLiteral("addresses"), addresses},
                              {QStringLiteral("onion"), tor ? tor->onionAddress() : QString()}});
        }, Qt::BlockingQueuedConnection);
        return result;
    }

    QJsonObject invite(const QString& password)
    {
        if (password.isEmpty())
            return failure(QStringLiteral("usage: invite <password>"));
        std::vector<TransportDto> transports;
        QMetaObject::invokeMethod(m_manager, [this, &transports] { transports = m_manager->localTransports(); },
                                  Qt::BlockingQueuedConnection);
        const QString only = appArgument(QStringLiteral("--invite-transports"), QString());
        if (!only.isEmpty()) {
            const QStringList types = only.split(QLatin1Char(','), Qt::SkipEmptyParts);
            transports.erase(std::remove_if(transports.begin(), transports.end(),
                                            [&types](const TransportDto& t) { return !types.contains(t.type); }),
                             transports.end());
            if (transports.empty())
                return failure(QStringLiteral("no transport of the types %1 yet").arg(only));
        }
        const quint32 machine = MachineClassifier::instance() ? MachineClassifier::instance()->detect() : 0;
        const quint32 flags = machine == MachineClassifier::Laptop ? 2 : 1;
        QString name;
        for (const PeerAttributeDto& a : m_db->getPeerAttributes(ownPeerUuid(), {QStringLiteral("name")}))
            name = a.value;

        const qint64 now = QDateTime::currentSecsSinceEpoch();
        InvitationDto invitation;
        invitation.uuid = QUuid::createUuid().toString();
        invitation.password = password;
        invitation.timestamp = now;
        invitation.expires = now + InvitationLifetimeSecs;
        int result = 0;
        const QUrl url = PeerFactory::createInvitation(m_db, flags, invitation.uuid, name, password, quint64(now),
                                                       transports, &result);
        if (url.isEmpty())
            return failure(QStringLiteral("no invitation could be made, result %1").arg(result));
        if (!m_db->putInvitation(invitation))
            return failure(QStringLiteral("the invitation could not be stored"));
        return success({{QStringLiteral("url"), url.toString(QUrl::FullyEncoded)},
                        {QStringLiteral("id"), invitation.uuid}});
    }

    QJsonObject accept(const QString& url, const QString& password)
    {
        if (url.isEmpty() || password.isEmpty())
            return failure(QStringLiteral("usage: accept <url> <password>"));
        switch (PeerFactory::acceptInvitation(m_db, url, password)) {
        case PeerFactory::AcceptNewPeer:
            return success({{QStringLiteral("result"), QStringLiteral("new")}});
        case PeerFactory::AcceptKnownPeer:
            return success({{QStringLiteral("result"), QStringLiteral("known")}});
        case PeerFactory::AcceptOwnPeer:
            return success({{QStringLiteral("result"), QStringLiteral("own")}});
        case PeerFactory::AcceptInvalid:
            return failure(QStringLiteral("invalid"));
        case PeerFactory::AcceptStoreFailed:
            return failure(QStringLiteral("store failed"));
        case PeerFactory::AcceptReentered:
            return failure(QStringLiteral("reentered"));
        }
        return failure(QStringLiteral("unknown result"));
    }

    QJsonObject invitationModel() const
    {
        InvitationModel* model = InvitationModel::instance();
        if (!model)
            return failure(QStringLiteral("no invitation model"));
        QJsonArray rows;
        for (int row = 0; row < model->rowCount(); ++row) {
            const QModelIndex index = model->index(row);
            rows.append(QJsonObject{
                {QStringLiteral("uuid"), model->data(index, InvitationModel::UuidRole).toString()},
                {QStringLiteral("name"), model->data(index, InvitationModel::NameRole).toString()},
                {QStringLiteral("expires"),
                 model->data(index, InvitationModel::ExpiresRole).toDateTime().toSecsSinceEpoch()}});
        }
        return success({{QStringLiteral("rows"), rows}});
    }

    QJsonObject lan() const
    {
        QJsonObject result;
        // The announcer lives on the io thread: ask it there.
        QMetaObject::invokeMethod(m_manager, [this, &result] {
            Upnp* upnp = m_manager->upnp();
            if (!upnp) {
                result = failure(QStringLiteral("no announcer"));
                return;
            }
            QJsonArray cache;
            for (const Upnp::Entry& entry : upnp->transmitCache())
                cache.append(entry.uuid);
            result = success({{QStringLiteral("enabled"), upnp->isEnabled()},
                              {QStringLiteral("group"), upnp->group().toString()},
                              {QStringLiteral("port"), int(upnp->port())},
                              {QStringLiteral("bound"), upnp->isBound()},
                              {QStringLiteral("joined"), upnp->isJoined()},
                              {QStringLiteral("active"), upnp->isTimerActive()},
                              {QStringLiteral("interval"), upnp->timerInterval()},
                              {QStringLiteral("txCache"), cache},
                              {QStringLiteral("received"), int(upnp->received().size())},
                              {QStringLiteral("announcements"), qint64(upnp->announcements())},
                              {QStringLiteral("matches"), qint64(upnp->matches())},
                              {QStringLiteral("decodes"), qint64(upnp->decodeAttempts())}});
        }, Qt::BlockingQueuedConnection);
        return result;
    }

    QJsonObject storedPeers() const
    {
        int count = 0;
        for (const PeerDto& peer : m_db->getPeers(QStringLiteral("velm")))
            count += normalizedUuid(peer.uuid) != normalizedUuid(ownPeerUuid()) ? 1 : 0;
        return success({{QStringLiteral("count"), count}});
    }

    QJsonObject peers() const
    {
        QJsonArray list;
        QMutexLocker lock(&m_historyMutex);
        for (int row = 0; row < m_model->rowCount(); ++row) {
            IPeer* peer = m_model->getPeerForRow(row);
            if (!peer || peer->uuid() == ownPeerUuid())
                continue;
            const LinkHistory history = m_history.count(peer->uuid()) ? m_history.at(peer->uuid()) : LinkHistory();
            list.append(QJsonObject{{QStringLiteral("uuid"), peer->uuid()},
                                    {QStringLiteral("name"), peer->name()},
                                    {QStringLiteral("state"), QLatin1String(linkStateName(peer->linkState()))},
                                    {QStringLiteral("attempts"), history.attempts},
                                    {QStringLiteral("everUp"), history.everUp}});
        }
        return success({{QStringLiteral("peers"), list}});
    }

    enum ShareKind { VfsShareFolder, VfsShareDrive, VfsShareWritable };

    // The copy job's guards against a partial or changed file looking
    // finished show in its interface as its failure reason and its list of
    // failed items.
    static bool copyGuards()
    {
        const QMetaObject& meta = VfsCopyJob::staticMetaObject;
        if (meta.indexOfProperty("lastFailure") >= 0)
            return true;
        for (int i = meta.methodOffset(); i < meta.methodCount(); ++i) {
            if (QByteArray(meta.method(i).name()).startsWith("failedItems"))
                return true;
        }
        return false;
    }

    QJsonObject share(const QString& peerUuid, const QString& path, ShareKind kind)
    {
        if (peerUuid.isEmpty() || path.isEmpty())
            return failure(QStringLiteral("usage: share <peer> <path>"));
        if (!m_model->getPeerForUuid(peerUuid))
            return failure(QStringLiteral("no such peer"));
        PeerAclDto acl;
        acl.uuid = QUuid::createUuid().toString();
        acl.name = QFileInfo(path).fileName().isEmpty() ? path : QFileInfo(path).fileName();
        acl.selector = path;
        // read, and directory or drive; write for a writable folder
        acl.flags = kind == VfsShareDrive ? 1u | 8u : kind == VfsShareWritable ? 1u | 2u | 4u : 1u | 4u;
        acl.timestamp = QDateTime::currentDateTimeUtc();
        if (!m_db->putAcl(peerUuid, acl))
            return failure(QStringLiteral("the share could not be stored"));
        return success({{QStringLiteral("share"), acl.uuid}});
    }

    static QJsonArray drivesJson(const std::vector<DriveCache>& drives)
    {
        QJsonArray list;
        for (const DriveCache& drive : drives)
            list.append(QJsonObject{{QStringLiteral("name"), QString::fromUtf8(drive.name)},
                                    {QStringLiteral("path"), QString::fromUtf8(drive.rootPath)}});
        return list;
    }

    QJsonObject localDrives() const
    {
        VfsWatcher* watcher = VfsWatcher::instance();
        return success({{QStringLiteral("drives"), drivesJson(watcher ? watcher->drives() : std::vector<DriveCache>())}});
    }

    VfsClientVelm* clientOf(const QString& peerUuid) const
    {
        auto* peer = qobject_cast<PeerVelm*>(m_model->getPeerForUuid(peerUuid));
        return peer ? peer->client() : nullptr;
    }

    QJsonObject linkInfo(const QString& peerUuid) const
    {
        auto* peer = qobject_cast<PeerVelm*>(m_model->getPeerForUuid(peerUuid));
        if (!peer)
            return failure(QStringLiteral("no such peer"));
        QJsonObject result;
        // Endpoints and transports live on the io thread: read them there.
        QMetaObject::invokeMethod(m_manager, [this, peer, &result] {
            com::Com* com = m_manager->com();
            const auto endpoints = [com](const std::vector<Endpoint*>& list) {
                QJsonArray array;
                for (Endpoint* endpoint : list) {
                    QJsonArray transports;
                    for (Transport* t : com->endpointTransports(endpoint))
                        transports.append(QStringLiteral("%1 %2:%3 state %4%5 rtt %6 rx %7 ms ago")
                                              .arg(t->dto().type, t->dto().host)
                                              .arg(t->dto().port)
                                              .arg(t->state())
                                              .arg(t->isMounted() ? QString() : QStringLiteral(" unmounted"))
                                              .arg(t->rtt())
                                              .arg(t->lastRx().isValid() ? t->lastRx().elapsed() : -1));
                    array.append(QJsonObject{{QStringLiteral("rxKeyId"), int(endpoint->rxKeyId())},
                                             {QStringLiteral("txKeyId"), int(endpoint->txKeyId())},
                                             {QStringLiteral("conv"), qint64(endpoint->kcp()->conv())},
                                             {QStringLiteral("waitSend"), endpoint->kcp()->waitSend()},
                                             {QStringLiteral("transports"), transports}});
                }
                return array;
            };
            result = success({{QStringLiteral("state"), QLatin1String(linkStateName(peer->linkState()))},
                              {QStringLiteral("localSession"), qint64(peer->localSessionId())},
                              {QStringLiteral("remoteSession"), qint64(peer->remoteSessionId())},
                              {QStringLiteral("msSinceLastMessage"), peer->msSinceLastMessage()},
                              {QStringLiteral("pendingJobs"), peer->client()->pendingJobs()},
                              {QStringLiteral("droppedDatagrams"), qint64(com->droppedDatagrams())},
                              {QStringLiteral("clients"), endpoints(peer->clientEndpoints())},
                              {QStringLiteral("servers"), endpoints(peer->serverEndpoints())}});
        }, Qt::BlockingQueuedConnection);
        return result;
    }

    QJsonObject udpInfo(const QString& peerUuid) const
    {
        auto* peer = qobject_cast<PeerVelm*>(m_model->getPeerForUuid(peerUuid));
        if (!peer)
            return failure(QStringLiteral("no such peer"));
        QJsonObject result;
        QMetaObject::invokeMethod(m_manager, [this, peer, &result] {
            com::Com* com = m_manager->com();
            std::vector<TransportUdp*> seen;
            QJsonArray transports;
            for (Endpoint* endpoint : peer->clientEndpoints()) {
                for (Transport* t : com->endpointTransports(endpoint)) {
                    auto* udp = qobject_cast<TransportUdp*>(t);
                    if (!udp || std::find(seen.begin(), seen.end(), udp) != seen.end())
                        continue;
                    seen.push_back(udp);
                    QJsonArray peers, hosts;
                    for (const TransportUdp::UdpPeer& p : udp->peers())
                        peers.append(QStringLiteral("%1:%2").arg(p.address.toString()).arg(p.port));
                    for (const TransportDto& h : udp->publicHosts())
                        hosts.append(QStringLiteral("%1:%2").arg(h.host).arg(h.port));
                    transports.append(QJsonObject{{QStringLiteral("state"), udp->state()},
                                                  {QStringLiteral("localPort"), int(udp->localPort())},
                                                  {QStringLiteral("natType"), udp->natType()},
                                                  {QStringLiteral("rtt"), udp->rtt()},
                                                  {QStringLiteral("peers"), peers},
                                                  {QStringLiteral("publicHosts"), hosts}});
                }
            }
            result = success({{QStringLiteral("natType"), qint64(com->natType())},
                              {QStringLiteral("transports"), transports}});
        }, Qt::BlockingQueuedConnection);
        return result;
    }

    void listDrives(const QString& peerUuid)
    {
        VfsClientVelm* client = clientOf(peerUuid);
        if (!client)
            return answer(failure(QStringLiteral("no such peer")));
        auto* job = new VfsListDrivesJob;
        job->label = QStringLiteral("driver");
        auto connection = std::make_shared<QMetaObject::Connection>();
        *connection = connect(client, &VfsClient::listDrivesUpdate, this, [this, job, connection](VfsListDrivesJob* done) {
            if (done != job)
                return;
            disconnect(*connection);
            QJsonArray list;
            {
                QMutexLocker lock(&job->mutex);
                for (const VfsDrive& drive : job->drives)
                    list.append(QJsonObject{{QStringLiteral("name"), drive.name}, {QStringLiteral("path"), drive.path}});
            }
            const bool finished = job->jobStatus == VfsClientJob::JobFinished && job->status == FSO_STATUS_OK;
            QJsonObject result{{QStringLiteral("status"), int(job->status)}, {QStringLiteral("drives"), list}};
            if (!finished)
                result.insert(QStringLiteral("error"), QStringLiteral("listing failed"));
            result.insert(QStringLiteral("ok"), finished);
            delete job;
            answer(result);
        }, Qt::QueuedConnection);
        client->listDrives(job);
    }

    // Lists path on the peer of client; done gets the finished job (which
    // it must not keep) on the main thread.
    void listOn(VfsClientVelm* client, const QString& path, std::function<void(VfsListDirectoryJob*)> done)
    {
        auto* job = new VfsListDirectoryJob;
        job->path = path;
        auto connection = std::make_shared<QMetaObject::Connection>();
        *connection = connect(client, &VfsClient::listDirectoryUpdate, this,
                              [job, connection, done](VfsListDirectoryJob* update) {
            if (update != job)
                return;
            disconnect(*connection);
            done(job);
            delete job;
        }, Qt::QueuedConnection);
        client->listDirectory(job);
    }

    static bool listed(VfsListDirectoryJob* job)
    {
        return job->jobStatus == VfsClientJob::JobFinished && job->status == FSO_STATUS_COMPLETE;
    }

    void listDirectory(const QString& peerUuid, const QString& path)
    {
        VfsClientVelm* client = clientOf(peerUuid);
        if (!client)
            return answer(failure(QStringLiteral("no such peer")));
        if (path.isEmpty())
            return answer(failure(QStringLiteral("usage: list <peer> <path>")));
        listOn(client, path, [this](VfsListDirectoryJob* job) {
            QJsonArray entries;
            {
                QMutexLocker lock(&job->mutex);
                for (const VfsDirectoryEntry& entry : job->entries)
                    entries.append(QJsonObject{{QStringLiteral("name"), entry.name}, {QStringLiteral("type"), int(entry.type)}});
            }
            QJsonObject result{{QStringLiteral("status"), int(job->status)}, {QStringLiteral("entries"), entries}};
            if (!listed(job))
                result.insert(QStringLiteral("error"), QStringLiteral("listing failed"));
            result.insert(QStringLiteral("ok"), listed(job));
            answer(result);
        });
    }

    // The source is looked up in the listing of its parent (the job needs
    // its type and size), then a copy job runs on the clients' thread.
    void copy(const QString& peerUuid, const QString& path, const QString& destination, bool cut = false)
    {
        auto* source = qobject_cast<PeerVelm*>(m_model->getPeerForUuid(peerUuid));
        IPeer* own = m_model->getPeerForUuid(ownPeerUuid());
        if (path.isEmpty() || destination.isEmpty())
            return answer(failure(QStringLiteral("usage: copy <peer> <path> <dir>")));
        if (!source || !own)
            return answer(failure(QStringLiteral("no such peer")));
        const QString name = path.section(QLatin1Char('/'), -1);
        QString parent = path.section(QLatin1Char('/'), 0, -2);
        if (parent.isEmpty())
            parent = QStringLiteral("/");
        listOn(source->client(), parent, [this, source, own, path, name, destination, cut](VfsListDirectoryJob* list) {
            if (!listed(list))
                return answer(failure(QStringLiteral("the parent of the source could not be listed, status %1")
                                          .arg(int(list->status))));
            VfsCopyItem item;
            {
                QMutexLocker lock(&list->mutex);
                for (const VfsDirectoryEntry& entry : list->entries) {
                    if (entry.name != name)
                        continue;
                    item.path = path;
                    item.type = entry.type == VfsDirectoryEntry::TypeDirectory ? VfsCopyItem::TypeDirectory
                                                                               : VfsCopyItem::TypeFile;
                    item.size = entry.size;
                    item.atime = entry.atime;
                    item.ctime = entry.ctime;
                    item.mtime = entry.mtime;
                }
            }
            if (item.path.isEmpty())
                return answer(failure(QStringLiteral("no such source")));
            runCopy(source, own, item, destination, cut);
        });
    }

    void runCopy(IPeer* source, IPeer* own, const VfsCopyItem& item, const QString& destination, bool cut)
    {
        VfsCopyDto request;
        request.id = QUuid::createUuid().toString();
        request.srcPeerUuid = source->uuid();
        request.dstPeerUuid = own->uuid();
        request.overwriteAll = 1;
        request.entries.push_back(item);
        request.dstPath = destination;
        auto* job = new VfsCopyJob(request);
        job->setPeers(source, own);
        job->moveToThread(source->vfsClient()->thread());
        auto timer = std::make_shared<QElapsedTimer>();
        auto result = std::make_shared<QJsonObject>();
        auto verified = std::make_shared<std::vector<VfsCopyItem>>();
        // The job deletes itself once done: its figures are read on its own
        // thread as it reports the end, and the answer goes out once it is
        // gone (so that a quit right after it finds no job left).
        const auto report = [job, timer, result, verified](bool finished) {
            if (!result->isEmpty())
                return;
            if (finished)
                *verified = job->verifiedItems();
            const double seconds = timer->nsecsElapsed() / 1e9;
            *result = QJsonObject{{QStringLiteral("ok"), finished},
                                 {QStringLiteral("result"), finished ? QStringLiteral("finished") : QStringLiteral("aborted")},
                                 {QStringLiteral("seconds"), seconds},
                                 {QStringLiteral("bytes"), qint64(job->bytesCopiedCount())},
                                 {QStringLiteral("bytesTotal"), qint64(job->bytesTotalCount())},
                                 {QStringLiteral("files"), job->totalFileCount()},
                                 {QStringLiteral("retries"), job->retryCount()}};
            const QVariant failure = job->property("lastFailure");
            if (failure.isValid())
                result->insert(QStringLiteral("lastFailure"), failure.toString());
            QJsonArray failed;
            for (const VfsCopyFailedItem& item : job->failedItems())
                failed.append(QJsonObject{{QStringLiteral("path"), item.path}, {QStringLiteral("reason"), item.reason}});
            result->insert(QStringLiteral("failed"), failed);
            if (!finished) {
                result->insert(QStringLiteral("error"), QStringLiteral("the copy was aborted"));
                result->insert(QStringLiteral("prompt"), job->userActionPrompt());
            }
        };
        connect(job, &VfsJob::jobFinished, job, [report] { report(true); }, Qt::DirectConnection);
        connect(job, &VfsJob::jobAborted, job, [report] { report(false); }, Qt::DirectConnection);
        QPointer<IPeer> sourcePeer = source;
        connect(job, &QObject::destroyed, this, [this, result, verified, cut, sourcePeer] {
            if (result->isEmpty())
                return answer(failure(QStringLiteral("the copy job ended without a result")));
            if (!cut || !result->value(QStringLiteral("ok")).toBool() || !sourcePeer)
                return answer(*result);
            runCut(sourcePeer, *verified, *result);
        }, Qt::QueuedConnection);
        timer->start();
        QMetaObject::invokeMethod(job, [job] { job->start(); }, Qt::QueuedConnection);
    }

    // What the job manager does after a copy with cut: the verified items go
    // to a delete job in its cut mode.
    void runCut(IPeer* source, const std::vector<VfsCopyItem>& verified, QJsonObject result)
    {
        auto* job = new VfsDeleteJob(this);
        job->setPeer(source);
        job->setFlags(2);
        job->setCut(true);
        std::vector<VfsDeleteItem> items;
        for (auto it = verified.rbegin(); it != verified.rend(); ++it) {
            VfsDeleteItem item;
            item.path = it->path;
            item.size = it->size;
            item.type = quint64(it->type);
            items.push_back(item);
        }
        job->setItems(items);
        auto done = [this, job, result](bool finished) mutable {
            QJsonArray kept;
            for (const VfsKeptItem& item : job->keptItems())
                kept.append(QJsonObject{{QStringLiteral("path"), item.path}, {QStringLiteral("reason"), item.reason}});
            result.insert(QStringLiteral("kept"), kept);
            result.insert(QStringLiteral("cut"), finished ? QStringLiteral("finished") : QStringLiteral("aborted"));
            result.insert(QStringLiteral("ok"), finished);
            job->deleteLater();
            answer(result);
        };
        connect(job, &VfsJob::jobFinished, this, [done]() mutable { done(true); });
        connect(job, &VfsJob::jobAborted, this, [done]() mutable { done(false); });
        job->start();
    }

    IDatabase* m_db;
    PeerModel* m_model;
    ConnectionManager* m_manager;
    bool m_ready = false;
    bool m_busy = false;
    std::deque<QString> m_pending;
    mutable QMutex m_historyMutex;
    std::map<QString, LinkHistory> m_history;
    std::atomic<quint64> m_pkiReceived{0};
};

} // namespace

int main(int argc, char** argv)
{
    DriverStartup startup;
    QCoreApplication app(argc, argv);
    // The job's failure reasons in the words the user reads.
    startup.start(QStringLiteral(VELM_I18N_DIR "/velm_en.ts"));

    // As the program: one instance per configuration directory, and a
    // database that cannot be used is left as it is.
    const QString configDir = AppSettings::configDirectory(0);
    InstanceLock instanceLock(configDir);
    if (!instanceLock.tryLock()) {
        reportStartupProblem(instanceLock.errorString() + QStringLiteral("; this start stops"));
        return StartupExitAnotherInstance;
    }

    auto* ioThread = new QThread(&app);
    ioThread->setObjectName(QStringLiteral("ioThread"));

    VfsWatcher watcher(&app);
    PeerModel peerModel(&app);
    DatabaseSqlite database(configDir + QStringLiteral("/velm.db"), &app);
    if (!database.openError().isEmpty()) {
        reportStartupProblem(databaseProblemText(database.path(), database.openError()));
        return StartupExitDatabaseUnusable;
    }
    InvitationModel invitationModel(&database);

    auto* connectionManager = new ConnectionManager(&database);
    QObject::connect(connectionManager, &ConnectionManager::problemReported, &app, &reportStartupProblem,
                     Qt::DirectConnection);
    connectionManager->setTorEnabled(appArgumentInt(QStringLiteral("--tor"), 0) >= 1);
    connectionManager->setTorPorts(
        quint16(appArgumentInt(QStringLiteral("--tor-control-port"), TorHiddenService::DefaultControlPort)),
        quint16(appArgumentInt(QStringLiteral("--tor-socks-port"), TorHiddenService::DefaultSocksPort)));
    connectionManager->moveToThread(ioThread);
    Driver driver(&database, &peerModel, connectionManager);

    QObject::connect(ioThread, &QThread::started, connectionManager, &ConnectionManager::start);
    // Once started, the network goes on (on the io thread), then the driver
    // takes commands.
    QObject::connect(connectionManager, &ConnectionManager::started, connectionManager, [connectionManager, &driver] {
        driver.countPublicKeyMessages(connectionManager->com());
        connectionManager->setNetworkEnabled(true);
        QMetaObject::invokeMethod(&driver, [&driver] { driver.networkStarted(); }, Qt::QueuedConnection);
    }, Qt::QueuedConnection);
    DriverStartup::endAtQuit(ioThread, connectionManager);

    return DriverStartup::exec(ioThread, &driver, [&driver](const QString& command) { driver.enqueue(command); });
}
