#pragma once

#include "core/peerattributedto.h"
#include "core/transportdto.h"

#include <QByteArray>
#include <QHostAddress>
#include <QObject>
#include <QString>
#include <QStringList>

#include <functional>
#include <vector>

class IDatabase;
class QTimer;
class UpnpChannel;

// Announces this machine's pending invitations on the local network and
// listens for those of others, so that two machines pair with only the
// password. Each tick sends one invitation text to a multicast group,
// invitations taking turns; a heard text is tried against the passwords the
// user entered without a text (the own "invpw" attributes), and the first
// that opens it is accepted. Lives on the io thread.
class Upnp : public QObject
{
    Q_OBJECT
public:
    // One announcement, built for sending or heard. Heard ones carry no
    // uuid and expire at 0.
    struct Entry
    {
        QString uuid;
        uint hash = 0;
        qint64 expires = 0;
        QByteArray datagram;
    };

    static constexpr int StartIntervalMs = 5000;
    static constexpr int AnnounceIntervalMs = 30000;
    static constexpr int NewInvitationDelayMs = 1000;
    // Announcements kept while no password opens them; the oldest goes first.
    static constexpr int MaxReceived = 32;
    // No invitation text is longer; larger datagrams are not looked at.
    static constexpr int MaxDatagramSize = 1024;

    // The group and port come from the settings; an empty group leaves the
    // announcer off.
    explicit Upnp(IDatabase* db, QObject* parent = nullptr);
    // On a channel of the caller's (which this object takes over).
    Upnp(IDatabase* db, UpnpChannel* channel, const QHostAddress& group, quint16 port, QObject* parent = nullptr);
    ~Upnp() override;

    // The own transports to put into invitation texts.
    void setLocalTransports(std::function<std::vector<TransportDto>()> localTransports);
    // Seconds since the epoch; the system clock unless set.
    void setClock(std::function<qint64()> clock);

    bool isEnabled() const;
    bool isJoined() const;
    bool isBound() const;
    bool isTimerActive() const;
    int timerInterval() const;
    QHostAddress group() const;
    quint16 port() const;
    const std::vector<Entry>& transmitCache() const;
    const std::vector<Entry>& received() const;
    // Datagrams sent, and invitations opened by a stored password.
    quint64 announcements() const;
    quint64 matches() const;
    // Key derivations spent on heard texts (one per text and password).
    quint64 decodeAttempts() const;

public slots:
    void start();
    void stop();
    // One tick: bind, else join, else send the next invitation.
    void announceUpnp();
    void readyRead();
    void updatePasswordsFromDb();
    void onAddedInvitation(const QString& invUuid);
    void onRemovedInvitation(const QString& invUuid);

signals:
    // A heard invitation was opened with a stored password and accepted;
    // result is a PeerFactory::AcceptResult.
    void acceptedInvitation(int result);

private:
    void init();
    void send(const Entry& entry, qint64 timestamp, qint64 now);
    // Tries the given announcements with the given passwords; each match is
    // accepted, and a password that opened one is not tried further.
    void checkPasswordMatch(const std::vector<size_t>& entries, const QStringList& passwords);
    QStringList passwordValues() const;
    bool isOwnDatagram(uint hash, const QByteArray& datagram) const;
    qint64 now() const;

    IDatabase* m_db = nullptr;
    UpnpChannel* m_channel = nullptr;
    QTimer* m_timer = nullptr;
    QHostAddress m_group;
    quint16 m_port = 0;
    bool m_joined = false;
    std::vector<Entry> m_transmitCache;
    std::vector<Entry> m_received;
    bool m_haveOwnHash = false;
    uint m_ownHash = 0;
    std::vector<PeerAttributeDto> m_passwords;
    // Every heard announcement still listed has been tried with these.
    QStringList m_triedPasswords;
    quint64 m_index = 0;
    quint64 m_announcements = 0;
    quint64 m_matches = 0;
    quint64 m_decodes = 0;
    std::function<std::vector<TransportDto>()> m_localTransports;
    std::function<qint64()> m_clock;
};
