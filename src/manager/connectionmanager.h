#pragma once

#include "com/link/handshakedto.h"
#include "core/peerdto.h"
#include "core/transportdto.h"
#include "peer/ipeerhost.h"

#include <QObject>
#include <QStringList>

#include <memory>
#include <vector>

class QSettings;

class ConnectionManagerPrivate;
class IDatabase;
class PeerAuthenticator;
class PeerFactory;
class PeerModel;
class TorHiddenService;
class Upnp;

namespace com {
class Com;
}

// The facade of the network side. Made on the main thread and moved to the
// io thread, where start() builds the transport registry, the peers and the
// authenticator, makes sure this machine has its identity and announces
// started(). Afterwards it switches the network on and off for the main
// window, hands accepted handshakes to their peers and answers questions
// about the machine's own addresses. It is the host of every peer.
class ConnectionManager : public QObject, public IPeerHost
{
    Q_OBJECT
    Q_PROPERTY(PeerModel* peerModel READ peerModel NOTIFY peerModelChanged)
    Q_PROPERTY(bool listening READ isListening NOTIFY networkStatusChanged)
    Q_PROPERTY(QString networkStatus READ networkStatus NOTIFY networkStatusChanged)
public:
    static constexpr quint16 DefaultListenPort = 60391;

    explicit ConnectionManager(IDatabase* db, QObject* parent = nullptr);
    ~ConnectionManager() override;

    static ConnectionManager* instance();

    PeerModel* peerModel() const;
    // Null before start().
    com::Com* com() const;
    PeerFactory* peerFactory() const;
    PeerAuthenticator* authenticator() const;
    // The LAN announcer of invitations; null before start().
    Upnp* upnp() const;

    // The TCP port to listen on: "--com-listen-port" when it lies in
    // 1..65534, else DefaultListenPort. problem, when given, receives what
    // is wrong with an option that was given but cannot be used (empty when
    // nothing is).
    static quint16 configuredListenPort(QString* problem = nullptr);
    static quint16 listenPortFor(int option);

    // Any thread. Whether the TCP server listens, and, when the network side
    // does not work as asked (the listening port is taken), why, in English;
    // empty when it does.
    bool isListening() const;
    QString networkStatus() const;
    // The STUN servers of config.ini (group "Network", key "stunServers",
    // a list of "host:port"): the built-in public servers while the key is
    // missing, none when it is present but empty.
    static QStringList configuredStunServers(QSettings* settings);
    // The link silence limit that config.ini asks for, in ms, or
    // IPeerHost::DefaultLinkSilenceLimitMs when it asks for none or for one
    // outside 10 to 3600 seconds.
    static qint64 configuredLinkSilenceLimitMs(QSettings* settings);
    // Stores the own peer, its key pair, its name and its local listener on
    // `port` unless they exist; a listener stored with another port is moved
    // to this one. The key pair is made in one transaction that looks for a
    // stored one again first, so that two processes on one database cannot
    // both make one. Returns the number of own key pairs stored (more than
    // one only in a database written by an older version or by hand; every
    // reader then takes the same one, PeerLoaderVelm::ownKeyPair).
    static int ensureOwnIdentity(IDatabase* db, quint16 port);
    // The relay named in config.ini ("Network/turnRelayHost", empty by
    // default: no relay is contacted) and, for a relay with a certificate of
    // its own making, a PEM file of authorities to accept for it
    // ("Network/turnTrustedCertificates").
    static void applyTurnSettings(com::Com* com);

    // Before start(): whether the Tor service is made at all (default yes),
    // and its control and SOCKS ports (defaults 9451 and 9350), so that two
    // instances can run side by side.
    void setTorEnabled(bool enabled);
    void setTorPorts(quint16 controlPort, quint16 socksPort);
    // Null before start() and when Tor is disabled.
    TorHiddenService* torService() const;
    // The onion key to use: the first stored "ED25519-V3" key of the own
    // peer that is usable, up to its first NUL byte; empty for none.
    static QString storedOnionKey(IDatabase* db);

    // The Tor version; empty while Tor has not answered.
    QString torVersion() const;
    // Any thread (the about dialog asks from the main thread): this
    // machine's onion address as the hidden service last published it;
    // empty while there is none. A copy taken under the manager's lock.
    QString onionAddress() const;
    // Any thread.
    QList<QHostAddress> localAddresses() const override;
    // Virtual for the window tests' stand-in.
    virtual std::vector<TransportDto> localTransports() const;

    // IPeerHost
    QObject* ioParent() const override;
    // config.ini "Network/linkSilenceLimitSecs" (whole seconds, 10 to 3600)
    // as read at start(); the default without it or outside that range.
    qint64 linkSilenceLimitMs() const override;
    void getTransportHosts(const TransportDto& dto, std::vector<TransportDto>& hosts) override;

signals:
    void peerModelChanged();
    void started();
    // isListening() or networkStatus() changed.
    void networkStatusChanged();
    // Something the user must hear of, said once as it happens, in English:
    // a listening port option that cannot be used, a port that is taken,
    // two own key pairs. The programs write it to stderr.
    void problemReported(const QString& text);

public slots:
    void start();
    // Virtual so that a test can stand in for the network side.
    virtual void setNetworkEnabled(bool networkEnabled);
    void forwardHandshakeRequestToPeer(const PeerDto& peer, const HandshakeDto& handshake);

protected:
    // io thread: the hidden service published `address`; empty once it is
    // switched off. Protected so that a test can stand in for Tor.
    void publishOnionAddress(const QString& address);

private:
    void reportProblem(const QString& text);
    void updateNetworkStatus();

    std::unique_ptr<ConnectionManagerPrivate> d;
};
