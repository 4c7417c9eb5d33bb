#pragma once

#include <QByteArray>
#include <QObject>

#include <functional>
#include <memory>

struct VfsMirkCommand;
class VfsClientVelm;
class VfsLoopbackLinkPrivate;
class VfsServerVelm;

// Joins a file-system client and a file-system server inside one process, in
// place of the peer link: each request frame of the client is decoded as the
// peer object would decode it and handed to the server, each frame of the
// server is decoded and handed to the client. Used to test and measure the
// client, the server and the jobs built on them without the network.
//
// Requests reach the server at once; the server's frames reach the client
// through the event loop, after the set delay, in the order they were sent.
// The delay stands in for the round trip of a real link: every answer comes
// that much later than it would without.
//
// Client and server must live on the link's thread. Without a server the
// link swallows every request, like a peer that never answers.
class VfsLoopbackLink : public QObject
{
    Q_OBJECT
public:
    // Sees every decoded request before the server does; true when it dealt
    // with the request itself (the server then never sees it). It may answer
    // through sendToClient().
    using RequestHook = std::function<bool(const VfsMirkCommand& request)>;

    VfsLoopbackLink(VfsClientVelm* client, VfsServerVelm* server, QObject* parent = nullptr);
    ~VfsLoopbackLink() override;

    // The protocol version of the link, for both sides, as a handshake sets
    // it. The constructor takes the client's.
    void setProtocolVersion(quint16 version);

    // Milliseconds between a server frame and its arrival at the client.
    void setDelay(int milliseconds);
    int delay() const;

    void setRequestHook(RequestHook hook);

    // A frame for the client as if the server had sent it.
    void sendToClient(const QByteArray& frame);

    // Frames carried each way, and frames the link refused (wrong direction,
    // or refused by the parser).
    int requestCount() const;
    int replyCount() const;
    int refusedCount() const;

private slots:
    void onClientFrame(const QByteArray& frame);
    void onServerFrame(const QByteArray& frame);
    void deliveryTimerFired();

private:
    std::unique_ptr<VfsLoopbackLinkPrivate> d;
};
