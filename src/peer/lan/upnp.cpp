#include "peer/lan/upnp.h"

#include "core/appsettings.h"
#include "core/idatabase.h"
#include "core/logger.h"
#include "core/uuid.h"
#include "peer/invitationrecord.h"
#include "peer/lan/upnpudpchannel.h"
#include "peer/peerfactory.h"

#include <QDateTime>
#include <QHash>
#include <QTimer>

#include <algorithm>

namespace {

const QString& ownPeer()
{
    static const QString own = QStringLiteral("{00000000-0000-0000-0000-000000000000}");
    return own;
}

// The own name and device type as the peer loader keeps them stored; the
// peer object itself lives on the main thread.
void ownIdentity(IDatabase* db, QString* name, quint32* flags)
{
    *flags = 0;
    for (const PeerAttributeDto& a :
         db->getPeerAttributes(ownPeer(), {QStringLiteral("name"), QStringLiteral("devicetype")})) {
        if (a.key == QLatin1String("name"))
            *name = a.value;
        else if (a.value == QLatin1String("desktop"))
            *flags = 1;
        else if (a.value == QLatin1String("laptop"))
            *flags = 2;
    }
}

} // namespace

Upnp::Upnp(IDatabase* db, QObject* parent) : QObject(parent), m_db(db)
{
    AppSettings settings;
    const QString group = settings.lanMulticastGroup();
    if (!group.isEmpty()) {
        m_group = QHostAddress(group);
        if (m_group.protocol() != QAbstractSocket::IPv4Protocol || !m_group.isMulticast()) {
            Logger::log(Logger::ERR1, "UPNP %s is no IPv4 multicast group, announcer off", qPrintable(group));
            m_group = QHostAddress();
        }
    }
    m_port = settings.lanMulticastPort();
    m_channel = new UpnpUdpChannel(this);
    init();
}

Upnp::Upnp(IDatabase* db, UpnpChannel* channel, const QHostAddress& group, quint16 port, QObject* parent)
    : QObject(parent), m_db(db), m_channel(channel), m_group(group), m_port(port)
{
    m_channel->setParent(this);
    init();
}

Upnp::~Upnp() = default;

void Upnp::init()
{
    m_timer = new QTimer(this);
    connect(m_channel, &UpnpChannel::readyRead, this, &Upnp::readyRead);
    connect(m_timer, &QTimer::timeout, this, &Upnp::announceUpnp);
    // Queued even on this thread: accepting an invitation removes the
    // password that opened it, and the list must not change under the check.
    connect(m_db, &IDatabase::peerAttributesChanged, this, [this](const QString& peerUuid) {
        if (normalizedUuid(peerUuid) == normalizedUuid(ownPeer()))
            updatePasswordsFromDb();
    }, Qt::QueuedConnection);
    connect(m_db, &IDatabase::addedInvitation, this, &Upnp::onAddedInvitation);
    connect(m_db, &IDatabase::removedInvitation, this, &Upnp::onRemovedInvitation);
    m_localTransports = [] { return std::vector<TransportDto>(); };
    m_clock = [] { return QDateTime::currentSecsSinceEpoch(); };
    updatePasswordsFromDb();
}

void Upnp::setLocalTransports(std::function<std::vector<TransportDto>()> localTransports)
{
    m_localTransports = std::move(localTransports);
}

void Upnp::setClock(std::function<qint64()> clock)
{
    m_clock = std::move(clock);
}

bool Upnp::isEnabled() const
{
    return !m_group.isNull();
}

bool Upnp::isJoined() const
{
    return m_joined;
}

bool Upnp::isBound() const
{
    return m_channel->isBound();
}

bool Upnp::isTimerActive() const
{
    return m_timer->isActive();
}

int Upnp::timerInterval() const
{
    return m_timer->interval();
}

QHostAddress Upnp::group() const
{
    return m_group;
}

quint16 Upnp::port() const
{
    return m_port;
}

const std::vector<Upnp::Entry>& Upnp::transmitCache() const
{
    return m_transmitCache;
}

const std::vector<Upnp::Entry>& Upnp::received() const
{
    return m_received;
}

quint64 Upnp::announcements() const
{
    return m_announcements;
}

quint64 Upnp::matches() const
{
    return m_matches;
}

quint64 Upnp::decodeAttempts() const
{
    return m_decodes;
}

qint64 Upnp::now() const
{
    return m_clock();
}

void Upnp::start()
{
    if (!isEnabled()) {
        Logger::log(Logger::NFO1, "UPNP no multicast group set, not announcing");
        return;
    }
    m_timer->start(StartIntervalMs);
}

void Upnp::stop()
{
    m_timer->stop();
    if (m_joined) {
        m_channel->leaveGroup(m_group);
        m_joined = false;
    }
    if (m_channel->isBound())
        m_channel->close();
}

void Upnp::announceUpnp()
{
    if (!isEnabled())
        return;
    if (!m_channel->isBound()) {
        m_joined = false;
        Logger::log(Logger::ERR1, "UPNP socket not bound, state: %d", m_channel->state());
        if (m_channel->bind(m_port))
            Logger::log(Logger::NFO1, "UPNP bound port %u", unsigned(m_port));
        else
            Logger::log(Logger::ERR1, "UPNP error %s", qPrintable(m_channel->errorString()));
        return;
    }
    if (!m_joined) {
        if (!m_channel->joinGroup(m_group)) {
            Logger::log(Logger::ERR1, "UPNP error %s", qPrintable(m_channel->errorString()));
            return;
        }
        Logger::log(Logger::NFO1, "UPNP joined multicast group %s", qPrintable(m_group.toString()));
        m_joined = true;
    }
    if (m_timer->interval() != AnnounceIntervalMs)
        m_timer->start(AnnounceIntervalMs);

    const std::vector<InvitationDto> invitations = m_db->getInvitations();
    if (invitations.empty())
        return;
    m_index %= invitations.size();
    const InvitationDto& invitation = invitations[size_t(m_index)];
    const qint64 current = now();
    const QString uuid = normalizedUuid(invitation.uuid);
    ++m_index;

    auto cached = std::find_if(m_transmitCache.begin(), m_transmitCache.end(),
                               [&uuid](const Entry& e) { return e.uuid == uuid; });
    if (cached != m_transmitCache.end()) {
        if (cached->expires < current) {
            Logger::log(Logger::NFO1, "UPNP invitation %s expired, remove from tx cache", qPrintable(uuid));
            m_transmitCache.erase(cached);
            return;
        }
        send(*cached, invitation.timestamp, current);
        return;
    }
    if (invitation.expires <= current)
        return;
    Logger::log(Logger::NFO1, "UPNP put invitation %s to tx cache", qPrintable(uuid));
    QString name;
    quint32 flags = 0;
    ownIdentity(m_db, &name, &flags);
    int result = 0;
    const QUrl url = PeerFactory::createInvitation(m_db, flags, invitation.uuid, name, invitation.password,
                                                   quint64(qMax<qint64>(invitation.timestamp, 0)),
                                                   m_localTransports(), &result);
    if (url.isEmpty()) {
        Logger::log(Logger::ERR1, "UPNP invitation %s could not be made, result %d", qPrintable(uuid), result);
        return;
    }
    Entry entry;
    entry.uuid = uuid;
    entry.datagram = url.toString(QUrl::FullyEncoded).toLatin1();
    entry.hash = qHash(entry.datagram, 0);
    entry.expires = invitation.expires;
    m_transmitCache.push_back(entry);
    send(entry, invitation.timestamp, current);
}

void Upnp::send(const Entry& entry, qint64 timestamp, qint64 current)
{
    const qint64 age = qMax<qint64>(current - timestamp, 0);
    Logger::log(Logger::NFO1, "UPNP process invitation %s age: %02lld hours %02lld minutes", qPrintable(entry.uuid),
                static_cast<long long>(age / 3600), static_cast<long long>((age % 3600) / 60));
    m_ownHash = entry.hash;
    m_haveOwnHash = true;
    if (m_channel->send(entry.datagram, m_group, m_port) == -1)
        Logger::log(Logger::ERR1, "UPNP send error %s\n", qPrintable(m_channel->errorString()));
    else
        ++m_announcements;
}

bool Upnp::isOwnDatagram(uint hash, const QByteArray& datagram) const
{
    if (m_haveOwnHash && hash == m_ownHash)
        return true;
    // Any text this machine announces comes back over the loop as well.
    for (const Entry& e : m_transmitCache) {
        if (e.hash == hash && e.datagram == datagram)
            return true;
    }
    return false;
}

void Upnp::readyRead()
{
    std::vector<size_t> fresh;
    while (m_channel->hasPendingDatagrams()) {
        QHostAddress sender;
        const QByteArray datagram = m_channel->readDatagram(&sender);
        if (datagram.size() > MaxDatagramSize || !datagram.startsWith("velm:"))
            continue; // never an invitation text: not kept, not decoded
        const uint hash = qHash(datagram, 0);
        if (isOwnDatagram(hash, datagram))
            continue;
        Logger::log(Logger::NFO1, "UPNP rx %s %s", qPrintable(sender.toString()), datagram.constData());
        const bool known = std::any_of(m_received.begin(), m_received.end(), [&](const Entry& e) {
            return e.hash == hash && e.datagram == datagram;
        });
        if (known)
            continue;
        if (int(m_received.size()) >= MaxReceived) {
            // The oldest unmatched text makes room; indices of this batch move with it.
            m_received.erase(m_received.begin());
            for (auto it = fresh.begin(); it != fresh.end();) {
                if (*it == 0) {
                    it = fresh.erase(it);
                } else {
                    --*it;
                    ++it;
                }
            }
        }
        Entry entry;
        entry.hash = hash;
        entry.datagram = datagram;
        m_received.push_back(entry);
        fresh.push_back(m_received.size() - 1);
    }
    // Only the new texts are decoded: the listed ones were tried with every
    // password already.
    if (!fresh.empty())
        checkPasswordMatch(fresh, passwordValues());
}

QStringList Upnp::passwordValues() const
{
    QStringList values;
    for (const PeerAttributeDto& a : m_passwords) {
        if (!a.value.isEmpty() && !values.contains(a.value))
            values << a.value;
    }
    return values;
}

void Upnp::checkPasswordMatch(const std::vector<size_t>& entries, const QStringList& passwords)
{
    std::vector<size_t> matched;
    for (const QString& password : passwords) {
        for (size_t index : entries) {
            if (std::find(matched.begin(), matched.end(), index) != matched.end())
                continue;
            const QString text = QString::fromLatin1(m_received[index].datagram);
            InvitationRecord record;
            ++m_decodes;
            if (!PeerFactory::decodeInvitation(text, password, &record))
                continue;
            Logger::log(Logger::NFO1, "UPNP found match for pw: %s", qPrintable(password));
            matched.push_back(index);
            ++m_matches;
            emit acceptedInvitation(int(PeerFactory::acceptInvitation(m_db, text, password)));
            // The accept used the password up.
            break;
        }
    }
    std::sort(matched.rbegin(), matched.rend());
    for (size_t index : matched)
        m_received.erase(m_received.begin() + std::ptrdiff_t(index));
}

void Upnp::updatePasswordsFromDb()
{
    m_passwords.clear();
    for (const PeerAttributeDto& a : m_db->getPeerAttributes(ownPeer(), {}))
        if (a.key == QLatin1String("invpw"))
            m_passwords.push_back(a);
    // A password entered after a text was heard opens it now, not only when
    // the next new text arrives; the others were tried with it before.
    const QStringList current = passwordValues();
    QStringList added;
    for (const QString& password : current)
        if (!m_triedPasswords.contains(password))
            added << password;
    m_triedPasswords = current;
    if (added.isEmpty() || m_received.empty())
        return;
    std::vector<size_t> all(m_received.size());
    for (size_t i = 0; i < all.size(); ++i)
        all[i] = i;
    checkPasswordMatch(all, added);
}

void Upnp::onAddedInvitation(const QString& invUuid)
{
    const std::vector<InvitationDto> invitations = m_db->getInvitations();
    if (invitations.empty())
        return;
    const QString wanted = normalizedUuid(invUuid);
    size_t position = invitations.size();
    for (size_t i = 0; i < invitations.size(); ++i) {
        if (normalizedUuid(invitations[i].uuid) == wanted) {
            position = i;
            break;
        }
    }
    m_index = position;
    // A rewritten invitation is built anew on its turn.
    onRemovedInvitation(invUuid);
    if (m_channel->isBound() && m_timer->isActive())
        m_timer->start(NewInvitationDelayMs);
}

void Upnp::onRemovedInvitation(const QString& invUuid)
{
    const QString uuid = normalizedUuid(invUuid);
    auto cached = std::find_if(m_transmitCache.begin(), m_transmitCache.end(),
                               [&uuid](const Entry& e) { return e.uuid == uuid; });
    if (cached == m_transmitCache.end())
        return;
    Logger::log(Logger::NFO1, "UPNP invitation %s removed from database, remove from tx cache", qPrintable(uuid));
    m_transmitCache.erase(cached);
}
