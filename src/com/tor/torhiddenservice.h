#pragma once

#include <QAbstractSocket>
#include <QByteArray>
#include <QNetworkProxy>
#include <QObject>
#include <QString>

#include <memory>

class ISystemProxy;
class TorHiddenServicePrivate;

// Makes this instance reachable as a Tor onion service and lets it reach the
// onion services of others. Two child `tor` processes run while the service
// is enabled: a SOCKS5 proxy on 127.0.0.1 (port 9350 by default), through
// which "onion" transports dial, and a hidden-service process with a control
// port, on which an ED25519-V3 onion service is published that forwards to
// the instance's TCP listening port. The private key of a newly made service
// is handed out once by createdEd25519v3Key() so that it can be stored and
// given back at the next start, which keeps the onion address stable.
//
// A supervisor on a single-shot timer starts the processes one after the
// other, connects to the control port and runs the exchange PROTOCOLINFO,
// AUTHENTICATE (with the cookie), ADD_ONION. Nothing here blocks the thread:
// processes start and stop in the background, a stopping process is
// terminated and killed 3 s later if it is still there, and new processes
// are started only once the old ones have gone. Control replies are
// collected until their final status line, however the bytes arrive.
//
// The private key and the authentication cookie are secrets of the user's
// installation: they are written only to the control socket, never to a log.
class TorHiddenService : public QObject
{
    Q_OBJECT
public:
    static constexpr quint16 DefaultControlPort = 9451;
    static constexpr quint16 DefaultSocksPort = 9350;
    // A stopping process still running after this long is killed.
    static constexpr int ProcessStopLimitMs = 3000;
    // A control reply that grows beyond this without its final line is
    // taken as broken.
    static constexpr int MaxReplyBytes = 65536;
    // The authentication cookie Tor writes is exactly this long.
    static constexpr int CookieBytes = 32;

    enum ControlState {
        StateIdle = 0,
        StateProtocolInfoSent = 1,
        StateAuthenticateSent = 2,
        StateAddNewOnionSent = 3,
        StateAddOnionSent = 4,
        StateConnecting = 5,
        StatePublished = 6
    };

    // The supervisor's delays in milliseconds; tests shorten them.
    struct Delays
    {
        int firstTick = 1000;     // after construction
        int switched = 2000;      // after startService() or stopService()
        int proxyStarted = 2000;  // from starting the proxy to starting the service
        int serviceStarted = 5000; // from starting the service to connecting
        int idle = 5000;          // ticks while disabled
        int retry = 10000;        // after the control connection closed
    };

    // key: a stored ED25519-V3 private key as Tor prints it after
    // "ED25519-V3:", or empty to have Tor make a new one. A key that is not
    // plain base64 text is not used.
    TorHiddenService(quint16 controlPort, quint16 onionPort, const QString& key, ISystemProxy* proxy,
                     QObject* parent = nullptr);
    ~TorHiddenService() override;

    // Any thread: copies taken under the object's mutex.
    QString onionAddress() const;
    QString torVersion() const;

    // The tor executable found at construction: "tor/tor" beside the
    // program, else the first `tor` on the path; empty when there is none.
    QString torPath() const;
    bool isEnabled() const;
    int controlState() const;
    // Whether a tor process of this service still runs (or is stopping).
    bool hasRunningProcesses() const;

    // The SOCKS port the proxy process listens on (default 9350); set it
    // before the service starts.
    void setSocksPort(quint16 port);
    quint16 socksPort() const;
    quint16 controlPort() const;
    // Where torrc, torrc_proxy and the data directories go; by default the
    // configuration directory.
    void setConfigDirectory(const QString& directory);
    QString configDirectory() const;
    void setDelays(const Delays& delays);

    // The configuration files' texts (CR LF line ends).
    static QByteArray proxyConfig(const QString& dataDirectory, quint16 socksPort, const QNetworkProxy& proxy);
    static QByteArray serviceConfig(const QString& dataDirectory, quint16 controlPort, const QNetworkProxy& proxy);
    // The value of key=value in a reply line: quoted up to the next double
    // quote (none: empty), else up to the next space or the line's end;
    // empty when the key is missing.
    static QString parseQuotedValue(const QString& line, const QString& key);
    // The length of the first complete control reply at the start of buf
    // (up to and including its final status line), 0 while it is still
    // incomplete, -1 when the bytes are no control reply.
    static int replyLength(const QByteArray& buf);
    // A command or reply line as it may be logged: private keys and the
    // cookie are replaced by "[hidden]".
    static QByteArray loggableLine(const QByteArray& line);
    // A service id is 56 letters of base32; a key is base64 text.
    static bool isValidServiceId(const QString& id);
    static bool isValidKey(const QString& key);

signals:
    void hiddenServiceOnline(QString onionAddress);
    void createdEd25519v3Key(QString key);

public slots:
    void startService();
    void stopService();

    void cookieFileRequest();
    bool cookieFileResponse(const QByteArray& reply);
    void authenticateRequest();
    bool authenticateResponse(const QByteArray& reply);
    void addNewOnionRequest();
    bool addNewOnionResponse(const QByteArray& reply);
    void addOnionRequest();
    bool addOnionResponse(const QByteArray& reply);
    void restartService();
    void shutdownTor();
    void startTorSocks5ProxyProcess();
    void startTorHiddenServiceProcess();
    void onReadyRead();
    void onTimerFired();
    void onSocketStateChanged(QAbstractSocket::SocketState state);

private:
    void handleReply(const QByteArray& reply);
    void sendCommand(const QByteArray& command);
    bool publish(const QByteArray& reply, bool expectKey);
    class QProcess* startTorProcess(const QString& configPath, const QByteArray& text, const char* label);
    void retireProcess(class QProcess* process);

    std::unique_ptr<TorHiddenServicePrivate> d;
};
