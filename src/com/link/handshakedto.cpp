#include "com/link/handshakedto.h"

#include "com/link/endpoint.h"
#include "com/wire/termstreamreader.h"
#include "com/wire/termstreamwriter.h"
#include "com/wire/termtag.h"

#include <QDateTime>
#include <QUuid>

#include <sodium.h>

#include <algorithm>
#include <climits>
#include <cstring>
#include <mutex>

namespace {

using com::TermStreamReader;
using com::TermStreamWriter;

// The fewest bytes one item of each list can take on the wire. A count that
// promises more items than the rest of the record can hold is refused before
// anything is read or allocated for it.
constexpr std::size_t MinValueBytes = 3;      // u16
constexpr std::size_t MinAttributeBytes = 4;  // two empty strings
constexpr std::size_t MinTransportBytes = 9;  // small count, u8, empty string, u16
constexpr quint8 TransportFieldCount = 3;

bool countFits(std::size_t count, std::size_t itemBytes, const TermStreamReader& r)
{
    return count <= r.remaining() / itemBytes;
}

// Reads a 32-byte key blob into key; a blob of any other length leaves key
// alone. The copy read off the wire is wiped.
void readKey(TermStreamReader& r, std::array<quint8, HandshakeDto::KeyBytes>& key)
{
    std::vector<quint8> blob;
    if (r.readBlob(blob) == TermStreamReader::NoError && blob.size() == key.size())
        std::copy(blob.begin(), blob.end(), key.begin());
    if (!blob.empty())
        sodium_memzero(blob.data(), blob.size());
}

} // namespace

HandshakeDto::HandshakeDto()
{
    registerMetaType();
}

HandshakeDto::HandshakeDto(const Endpoint& endpoint)
    : keyId(endpoint.rxKeyId())
{
    registerMetaType();
    std::memcpy(publicKey.data(), endpoint.ownPublicKey(), KeyBytes);
    std::memcpy(sessionKey.data(), endpoint.rxKey(), KeyBytes);
}

HandshakeDto::~HandshakeDto()
{
    sodium_memzero(sessionKey.data(), sessionKey.size());
}

void HandshakeDto::registerMetaType()
{
    static std::once_flag once;
    std::call_once(once, [] { qRegisterMetaType<HandshakeDto>("HandshakeDto"); });
}

bool HandshakeDto::hasPublicKey() const
{
    // Any nonzero byte makes a key; a sum of the bytes could cancel out.
    return std::any_of(publicKey.begin(), publicKey.end(), [](quint8 b) { return b != 0; });
}

quint8 HandshakeDto::typeCode(const QString& type)
{
    if (type == QLatin1String("tcp"))
        return TypeTcp;
    if (type == QLatin1String("udp"))
        return TypeUdp;
    if (type == QLatin1String("onion"))
        return TypeOnion;
    if (type == QLatin1String("turn"))
        return TypeTurn;
    return TypeUnknown;
}

QString HandshakeDto::typeName(quint8 code)
{
    switch (code) {
    case TypeTcp:
        return QStringLiteral("tcp");
    case TypeUdp:
        return QStringLiteral("udp");
    case TypeOnion:
        return QStringLiteral("onion");
    case TypeTurn:
        return QStringLiteral("turn");
    default:
        return QString();
    }
}

quint32 HandshakeDto::serialize(quint8* buf, std::size_t* len) const
{
    return serialize(buf, len, quint64(QDateTime::currentSecsSinceEpoch()));
}

quint32 HandshakeDto::serialize(quint8* buf, std::size_t* len, quint64 nowSeconds) const
{
    if (!len)
        return SerializeWriteFailed;
    if (!hasPublicKey()) {
        *len = 0;
        return SerializeNoPublicKey;
    }

    TermStreamWriter w(buf, *len);
    w.writeU8(com::PkiChannel);
    w.writeU8(com::PkiHandshake);
    w.writeU32(flags);

    if (values.size() > MaxValues)
        w.setError(TermStreamWriter::ErrorValueTooLarge);
    w.writeSmallCount(quint8(values.size()));
    for (quint16 value : values)
        w.writeU16(value);

    w.writeBlob(publicKey.data(), publicKey.size());

    // An attribute without a value would go out as its key alone, which the
    // reader refuses together with the whole record. Such attributes are
    // therefore never sent; the count covers only the ones that are.
    const std::size_t valued = std::size_t(std::count_if(
        attributes.begin(), attributes.end(), [](const Attributes::value_type& a) { return a.second.has_value(); }));
    if (valued > UINT32_MAX)
        w.setError(TermStreamWriter::ErrorValueTooLarge);
    w.writeMapCount(quint32(valued));
    for (const auto& [key, value] : attributes) {
        if (!value)
            continue;
        w.writeString(key);
        w.writeString(*value);
    }

    w.writeU64(nowSeconds);
    w.writeU32(session);
    w.writeU8(keyId);
    w.writeBlob(sessionKey.data(), sessionKey.size());

    if (transports.size() > UINT32_MAX)
        w.setError(TermStreamWriter::ErrorValueTooLarge);
    w.writeListCount(quint32(transports.size()));
    for (const TransportDto& transport : transports) {
        const QByteArray host = transport.host.toUtf8();
        w.writeSmallCount(TransportFieldCount);
        w.writeU8(typeCode(transport.type));
        w.writeString(host.constData(), std::size_t(host.size()));
        w.writeU16(transport.port);
    }

    *len = w.size();
    return w.hasError() ? SerializeWriteFailed : SerializeOk;
}

int HandshakeDto::parse(const quint8* data, std::size_t len)
{
    *this = HandshakeDto();
    if (!data)
        return ParseFailed;

    TermStreamReader r(data, len);
    quint8 channel = 0;
    quint8 type = 0;
    if (r.readU8(channel) || r.readU8(type) || channel != com::PkiChannel || type != com::PkiHandshake)
        return ParseFailed;

    r.readU32(flags);

    quint8 valueCount = 0;
    if (r.readSmallCount(valueCount) == TermStreamReader::NoError
        && !countFits(valueCount, MinValueBytes, r))
        r.setError(TermStreamReader::ErrorShort);
    for (unsigned i = 0; i < valueCount && !r.hasError(); ++i) {
        quint16 value = 0;
        if (r.readU16(value) == TermStreamReader::NoError)
            values.push_back(value);
    }

    readKey(r, publicKey);

    quint32 attributeCount = 0;
    if (r.readMapCount(attributeCount) == TermStreamReader::NoError
        && !countFits(attributeCount, MinAttributeBytes, r))
        r.setError(TermStreamReader::ErrorShort);
    for (quint32 i = 0; i < attributeCount && !r.hasError(); ++i) {
        std::string key;
        std::string value;
        if (r.readString(key))
            break;
        // Every attribute on the wire has a value, and it is text.
        if (r.peekTag() != com::TagString)
            return ParseFailed;
        if (r.readString(value))
            break;
        // The first value of a key wins; empty keys and values carry nothing.
        if (!key.empty() && !value.empty())
            attributes.emplace(std::move(key), std::move(value));
    }

    quint64 sentAt = 0;
    if (r.readU64(sentAt) == TermStreamReader::NoError)
        time = sentAt;
    r.readU32(session);
    r.readU8(keyId);
    readKey(r, sessionKey);

    quint32 transportCount = 0;
    if (r.readListCount(transportCount) == TermStreamReader::NoError
        && !countFits(transportCount, MinTransportBytes, r))
        r.setError(TermStreamReader::ErrorShort);
    const qint64 now = QDateTime::currentSecsSinceEpoch();
    for (quint32 i = 0; i < transportCount && !r.hasError(); ++i) {
        quint8 fieldCount = 0;
        quint8 code = 0;
        std::string host;
        quint16 port = 0;
        r.readSmallCount(fieldCount);
        r.readU8(code);
        r.readString(host);
        r.readU16(port);
        if (r.hasError())
            break;
        const QString typeText = typeName(code);
        if (port == 0 || typeText.isEmpty() || host.size() > std::size_t(INT_MAX))
            continue;
        // Judged as text: bytes such as a lone byte-order mark decode to nothing.
        const QString hostText = QString::fromUtf8(host.data(), int(host.size()));
        if (hostText.isEmpty())
            continue;
        TransportDto transport;
        transport.uuid = QUuid::createUuid().toString();
        transport.type = typeText;
        transport.host = hostText;
        transport.port = port;
        transport.timestamp = now;
        transport.stream = code == TypeTcp || code == TypeOnion;
        transports.push_back(std::move(transport));
    }

    return r.hasError() ? ParseFailed : ParseOk;
}

bool HandshakeDto::operator==(const HandshakeDto& o) const
{
    return flags == o.flags && values == o.values && publicKey == o.publicKey && attributes == o.attributes
           && time == o.time && session == o.session && keyId == o.keyId && sessionKey == o.sessionKey
           && transports == o.transports;
}
