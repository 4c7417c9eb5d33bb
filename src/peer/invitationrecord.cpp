#include "peer/invitationrecord.h"
#include "com/wire/termstreamreader.h"
#include "com/wire/termstreamwriter.h"
#include "crypto/crypto.h"

#include <QDateTime>
#include <QHostAddress>
#include <QUuid>
#include <QtEndian>

#include <sodium.h>

#include <cstdint>
#include <string>
#include <utility>

static_assert(InvitationRecord::PublicKeyBytes == crypto::PublicKeyBytes, "public key size");
static_assert(crypto_sign_SEEDBYTES == InvitationRecord::SigningSeedBytes, "signing seed size");
static_assert(InvitationRecord::MaxSealedBytes + crypto::SessionOverhead <= InvitationRecord::RecordBufferBytes,
              "an opened record fits the record buffer");

namespace {

constexpr crypto::KeyId InvitationKeyId = 10;

// Argon2id over the UTF-8 bytes of the password; the key is wiped when the
// holder goes.
class PasswordKey
{
public:
    explicit PasswordKey(const QString& password)
    {
        const QByteArray bytes = password.toUtf8();
        m_ok = crypto::generateSessionKeyFromPassword(bytes.constData(), quint64(bytes.size()), m_key) == 0;
    }
    ~PasswordKey() { sodium_memzero(m_key, sizeof m_key); }
    PasswordKey(const PasswordKey&) = delete;
    PasswordKey& operator=(const PasswordKey&) = delete;

    bool isValid() const { return m_ok; }
    const unsigned char* data() const { return m_key; }

private:
    unsigned char m_key[crypto::SessionKeyBytes] = {};
    bool m_ok = false;
};

const unsigned char* bytesOf(const QByteArray& array)
{
    return reinterpret_cast<const unsigned char*>(array.constData());
}

} // namespace

quint8 InvitationRecord::deviceTypeForFlags(quint32 flags)
{
    const quint32 kind = flags & 3;
    return (kind == 1 || kind == 2) ? quint8(flags & FlagsMask) : 0;
}

quint8 InvitationRecord::transportCode(const QString& type)
{
    if (type == QLatin1String("tcp"))
        return CodeTcp;
    if (type == QLatin1String("udp"))
        return CodeUdp;
    if (type == QLatin1String("onion"))
        return CodeOnion;
    return CodeNone;
}

QString InvitationRecord::transportType(quint8 code)
{
    switch (code) {
    case CodeTcp:
        return QStringLiteral("tcp");
    case CodeUdp:
        return QStringLiteral("udp");
    case CodeOnion:
        return QStringLiteral("onion");
    default:
        return QString();
    }
}

bool InvitationRecord::isUnusableHost(const QString& host)
{
    const QString trimmed = host.trimmed();
    if (trimmed.isEmpty() || trimmed.compare(QLatin1String("localhost"), Qt::CaseInsensitive) == 0)
        return true;
    QHostAddress address;
    return address.setAddress(trimmed) && address.isLoopback();
}

QByteArray InvitationRecord::writePlain(const QByteArray& seed, int* result) const
{
    auto failed = [result](int code) {
        if (result)
            *result = code;
        return QByteArray();
    };
    if (seed.size() != int(SigningSeedBytes))
        return failed(ErrorNoKeyPair);

    // Only what a reader can take in goes in: known types, hosts that fit
    // its host buffer.
    std::vector<std::pair<quint8, const TransportDto*>> carried;
    for (const TransportDto& t : transports) {
        const quint8 code = transportCode(t.type);
        if (code != CodeNone && std::size_t(t.host.toUtf8().size()) < HostBufferBytes)
            carried.emplace_back(code, &t);
    }

    unsigned char buffer[RecordBufferBytes] = {};
    com::TermStreamWriter writer(buffer, sizeof buffer);
    writer.writeRawU8(RecordType);
    writer.writeU8(RecordVersion);
    writer.writeU32(flags & FlagsMask);
    writer.writeU64(timestamp);
    writer.writeBlob(publicKey.constData(), std::size_t(publicKey.size()));
    const QByteArray idBytes = id.toUtf8();
    writer.writeString(idBytes.constData(), std::size_t(idBytes.size()));
    const QByteArray nameBytes = name.toUtf8();
    writer.writeString(nameBytes.constData(), std::size_t(nameBytes.size()));
    writer.writeListCount(quint32(carried.size()));
    for (const auto& [code, t] : carried) {
        writer.writeSmallCount(3);
        writer.writeU8(code);
        const QByteArray host = t->host.toUtf8();
        writer.writeString(host.constData(), std::size_t(host.size()));
        writer.writeU16(t->port);
    }
    if (writer.hasError())
        return failed(ErrorTooLarge);

    unsigned char publicSigningKey[crypto_sign_PUBLICKEYBYTES];
    unsigned char secretSigningKey[crypto_sign_SECRETKEYBYTES];
    unsigned char signature[crypto::SignatureBytes];
    const bool signedOk = crypto_sign_seed_keypair(publicSigningKey, secretSigningKey, bytesOf(seed)) == 0
                          && crypto::signDetached(secretSigningKey, buffer, writer.size(), signature) == 0;
    sodium_memzero(secretSigningKey, sizeof secretSigningKey);
    if (!signedOk)
        return failed(ErrorSign);
    if (writer.writeBlob(signature, sizeof signature) != com::TermStreamWriter::NoError)
        return failed(ErrorTooLarge);

    if (result)
        *result = Ok;
    return QByteArray(reinterpret_cast<const char*>(buffer), int(writer.size()));
}

int InvitationRecord::readPlain(const QByteArray& plain, InvitationRecord* out)
{
    *out = InvitationRecord();
    com::TermStreamReader reader(plain.constData(), std::size_t(plain.size()));
    quint8 type = 0;
    if (reader.readRawU8(type) != com::TermStreamReader::NoError)
        return ErrorRecord;
    if (type != RecordType)
        return ErrorRecordType;

    reader.readU8(out->version);
    reader.readU32(out->flags);
    reader.readU64(out->timestamp);
    out->deviceType = deviceTypeForFlags(out->flags);
    std::vector<std::uint8_t> key;
    reader.readBlob(key);
    std::string id;
    std::string name;
    reader.readString(id);
    reader.readString(name);
    out->id = QString::fromUtf8(id.data(), int(id.size()));
    out->name = QString::fromUtf8(name.data(), int(name.size()));

    // The count is the sender's word only: every entry read consumes bytes
    // of the record, and the first fault ends the loop.
    quint32 count = 0;
    reader.readListCount(count);
    const qint64 now = QDateTime::currentSecsSinceEpoch();
    for (quint32 i = 0; i < count && !reader.hasError(); ++i) {
        quint8 fields = 0;
        quint8 code = 0;
        char host[HostBufferBytes];
        std::size_t hostLength = 0;
        quint16 port = 0;
        reader.readSmallCount(fields);
        reader.readU8(code);
        reader.readString(host, sizeof host, hostLength);
        reader.readU16(port);
        if (reader.hasError())
            break;
        // A host is text up to its first NUL, and only well-formed UTF-8:
        // bytes that decode to something else name no host anyone meant.
        const QByteArray hostBytes(host);
        const QString hostText = QString::fromUtf8(hostBytes);
        const QString typeName = transportType(code);
        if (typeName.isEmpty() || port == 0 || hostText.toUtf8() != hostBytes || isUnusableHost(hostText))
            continue;
        TransportDto dto;
        dto.uuid = QUuid::createUuid().toString();
        dto.type = typeName;
        dto.host = hostText;
        dto.port = port;
        dto.timestamp = now;
        dto.stream = code == CodeTcp || code == CodeOnion;
        out->transports.push_back(dto);
    }
    if (reader.hasError())
        return ErrorRecord;
    if (out->transports.empty())
        return ErrorNoTransport;
    if (key.size() != PublicKeyBytes)
        return ErrorPublicKey;
    out->publicKey = QByteArray(reinterpret_cast<const char*>(key.data()), int(key.size()));
    return Ok;
}

int InvitationRecord::seal(const QByteArray& plain, const QString& password, QByteArray* sealed)
{
    sealed->clear();
    if (plain.isEmpty() || plain.size() > int(RecordBufferBytes - crypto::SessionOverhead))
        return ErrorTooLarge;
    const PasswordKey key(password);
    if (!key.isValid())
        return ErrorKey;
    unsigned char buffer[RecordBufferBytes] = {};
    unsigned long long length = sizeof buffer;
    if (crypto::encryptMessage(InvitationKeyId, key.data(), bytesOf(plain), quint64(plain.size()), buffer, &length)
        != crypto::EncryptMsgOk)
        return ErrorSeal;
    *sealed = QByteArray(reinterpret_cast<const char*>(buffer), int(length));
    return Ok;
}

int InvitationRecord::open(const QByteArray& sealed, const QString& password, QByteArray* plain)
{
    plain->clear();
    if (sealed.isEmpty() || sealed.size() > MaxSealedBytes)
        return ErrorSize;
    const PasswordKey key(password);
    if (!key.isValid())
        return ErrorKey;
    unsigned char buffer[RecordBufferBytes] = {};
    unsigned long long length = 0;
    if (crypto::decryptMessage(key.data(), bytesOf(sealed), quint64(sealed.size()), buffer, &length)
        != crypto::DecryptMsgOk)
        return ErrorOpen;
    *plain = QByteArray(reinterpret_cast<const char*>(buffer), int(length));
    return Ok;
}

QUrl InvitationRecord::wrap(const QByteArray& sealed)
{
    const QByteArray base64 = qCompress(sealed, 9).toBase64(QByteArray::Base64UrlEncoding
                                                            | QByteArray::OmitTrailingEquals);
    return QUrl(QStringLiteral("velm:") + QString::fromLatin1(base64), QUrl::TolerantMode);
}

int InvitationRecord::unwrap(const QString& text, QByteArray* sealed)
{
    sealed->clear();
    // A real text has at most about 710 characters; anything much longer is
    // not looked at.
    if (text.size() > MaxTextLength)
        return ErrorTextTooLong;
    const QUrl url(text, QUrl::TolerantMode);
    if (url.scheme() != QLatin1String("velm"))
        return ErrorScheme;
    QByteArray base64 = url.path(QUrl::FullyDecoded).toLatin1();
    const int nul = base64.indexOf('\0');
    if (nul >= 0)
        base64.truncate(nul);
    const QByteArray::FromBase64Result decoded = QByteArray::fromBase64Encoding(
        base64, QByteArray::Base64UrlEncoding | QByteArray::AbortOnBase64DecodingErrors);
    if (!decoded)
        return ErrorBase64;
    const QByteArray& compressed = decoded.decoded;

    // qUncompress trusts the size in front of the stream and allocates it
    // before it inflates a single byte, so the size is judged first. The
    // stream itself is no longer than the text, which bounds what zlib can
    // make of it should it run past the stated size.
    if (compressed.size() < 4)
        return ErrorSize;
    const quint32 stated = qFromBigEndian<quint32>(compressed.constData());
    if (stated < 1 || stated > quint32(MaxSealedBytes))
        return ErrorSize;
    const QByteArray data = qUncompress(compressed);
    if (data.size() != int(stated))
        return ErrorUncompress;
    *sealed = data;
    return Ok;
}

int InvitationRecord::decode(const QString& text, const QString& password, InvitationRecord* out)
{
    QByteArray sealed;
    int rc = unwrap(text, &sealed);
    if (rc != Ok)
        return rc;
    QByteArray plain;
    rc = open(sealed, password, &plain);
    if (rc != Ok)
        return rc;
    return readPlain(plain, out);
}

int InvitationRecord::encode(const QByteArray& seed, const QString& password, QUrl* url) const
{
    url->clear();
    if (publicKey.size() != int(PublicKeyBytes) || seed.size() != int(SigningSeedBytes))
        return ErrorNoKeyPair;
    int rc = Ok;
    const QByteArray plain = writePlain(seed, &rc);
    if (plain.isEmpty())
        return rc;
    // Hand out nothing the other side could not read: no usable transport,
    // for one, would only show up there as a text that never opens.
    InvitationRecord check;
    rc = readPlain(plain, &check);
    if (rc != Ok)
        return rc;
    QByteArray sealed;
    rc = seal(plain, password, &sealed);
    if (rc != Ok)
        return rc;
    if (sealed.size() > MaxSealedBytes)
        return ErrorTooLarge;
    *url = wrap(sealed);
    return Ok;
}

QString InvitationRecord::resultText(int result)
{
    switch (result) {
    case Ok:
        return QString();
    case ErrorTextTooLong:
    case ErrorScheme:
    case ErrorBase64:
    case ErrorSize:
    case ErrorUncompress:
        //% "This is not an invitation."
        return qtTrId("invitation-error-not-invitation");
    case ErrorOpen:
        //% "The password does not open this invitation."
        return qtTrId("invitation-error-password");
    case ErrorRecordType:
    case ErrorRecord:
    case ErrorPublicKey:
        //% "The invitation is damaged."
        return qtTrId("invitation-error-damaged");
    case ErrorNoTransport:
        //% "The invitation names no address this machine can reach."
        return qtTrId("invitation-error-no-address");
    case ErrorNoKeyPair:
        //% "This machine has no key yet to invite with."
        return qtTrId("invitation-error-no-key");
    case ErrorTooLarge:
        //% "The name or the list of addresses is too long for an invitation."
        return qtTrId("invitation-error-too-large");
    default:
        //% "The invitation could not be made or read."
        return qtTrId("invitation-error-failed");
    }
}
