#include "vfs/loopback/vfsloopbacklink.h"

#include "core/logger.h"
#include "vfs/client/vfsclientvelm.h"
#include "vfs/protocol/vfsmirkcommand.h"
#include "vfs/protocol/vfsmirkcommandparser.h"
#include "vfs/server/vfsservervelm.h"

#include <QElapsedTimer>
#include <QPointer>
#include <QTimer>

#include <algorithm>
#include <deque>

namespace {

struct Delivery
{
    QByteArray frame;
    qint64 due; // ms on the link's clock
};

quint8 magicOf(const QByteArray& frame)
{
    return frame.size() > 6 ? quint8(frame.at(6)) : 0;
}

} // namespace

class VfsLoopbackLinkPrivate
{
public:
    QPointer<VfsClientVelm> client;
    QPointer<VfsServerVelm> server;
    VfsMirkCommandParser parser;
    std::unique_ptr<VfsMirkCommand> request{new VfsMirkCommand()};
    std::unique_ptr<VfsMirkCommand> reply{new VfsMirkCommand()};
    VfsLoopbackLink::RequestHook hook;
    quint16 version = VfsMirkCommand::DefaultProtocolVersion;
    int delay = 0;
    QElapsedTimer clock;
    QTimer* deliveryTimer = nullptr;
    std::deque<Delivery> queue;
    int requests = 0;
    int replies = 0;
    int refused = 0;

    void armTimer()
    {
        if (queue.empty()) {
            deliveryTimer->stop();
            return;
        }
        const qint64 wait = std::max<qint64>(0, queue.front().due - clock.elapsed());
        deliveryTimer->start(int(wait));
    }
};

VfsLoopbackLink::VfsLoopbackLink(VfsClientVelm* client, VfsServerVelm* server, QObject* parent)
    : QObject(parent), d(new VfsLoopbackLinkPrivate)
{
    d->client = client;
    d->server = server;
    d->clock.start();
    d->deliveryTimer = new QTimer(this);
    d->deliveryTimer->setSingleShot(true);
    d->deliveryTimer->setTimerType(Qt::PreciseTimer);
    connect(d->deliveryTimer, &QTimer::timeout, this, &VfsLoopbackLink::deliveryTimerFired);
    if (client) {
        connect(client, &VfsClientVelm::fsoTransmit, this, &VfsLoopbackLink::onClientFrame);
        setProtocolVersion(client->protocolVersion());
    }
    if (server)
        connect(server, &VfsServerVelm::fsoTransmit, this, &VfsLoopbackLink::onServerFrame);
}

VfsLoopbackLink::~VfsLoopbackLink() = default;

void VfsLoopbackLink::setProtocolVersion(quint16 version)
{
    d->version = version;
    if (d->client)
        d->client->setProtocolVersion(version);
    if (d->server)
        d->server->setPeerVersion(version);
}

void VfsLoopbackLink::setDelay(int milliseconds)
{
    d->delay = std::max(0, milliseconds);
}

int VfsLoopbackLink::delay() const
{
    return d->delay;
}

void VfsLoopbackLink::setRequestHook(RequestHook hook)
{
    d->hook = std::move(hook);
}

void VfsLoopbackLink::sendToClient(const QByteArray& frame)
{
    onServerFrame(frame);
}

int VfsLoopbackLink::requestCount() const
{
    return d->requests;
}

int VfsLoopbackLink::replyCount() const
{
    return d->replies;
}

int VfsLoopbackLink::refusedCount() const
{
    return d->refused;
}

void VfsLoopbackLink::onClientFrame(const QByteArray& frame)
{
    if (magicOf(frame) != VfsMirkCommand::MagicRequest
        || !d->parser.processCommand(frame, d->request.get(), d->version)) {
        ++d->refused;
        Logger::log(Logger::ERR1, "loopback link: request frame of %d bytes refused",
                    int(frame.size()));
        return;
    }
    ++d->requests;
    if (d->hook && d->hook(*d->request))
        return;
    if (d->server)
        d->server->processIncomingCommand(d->request.get());
}

void VfsLoopbackLink::onServerFrame(const QByteArray& frame)
{
    d->queue.push_back(Delivery{frame, d->clock.elapsed() + d->delay});
    if (!d->deliveryTimer->isActive())
        d->armTimer();
}

void VfsLoopbackLink::deliveryTimerFired()
{
    // Everything that is due, oldest first; frames that come in meanwhile
    // wait for the next round.
    const qint64 now = d->clock.elapsed();
    std::deque<Delivery> due;
    while (!d->queue.empty() && d->queue.front().due <= now) {
        due.push_back(std::move(d->queue.front()));
        d->queue.pop_front();
    }
    for (const Delivery& delivery : due) {
        if (magicOf(delivery.frame) != VfsMirkCommand::MagicReply
            || !d->parser.processCommand(delivery.frame, d->reply.get(),
                                         d->client ? d->client->protocolVersion() : d->version)) {
            ++d->refused;
            Logger::log(Logger::ERR1, "loopback link: server frame of %d bytes refused",
                        int(delivery.frame.size()));
            continue;
        }
        ++d->replies;
        if (d->client)
            d->client->processIncomingCommand(d->reply.get());
    }
    d->armTimer();
}
