// Reads arbitrary bytes as an invitation. The first byte picks the layer:
//   even: the rest is a received announcement, taken as Latin-1 text up to
//         its first NUL the way the announcer takes it, and decoded under
//         the password the seeds were made with;
//   odd:  the rest is an opened plain record, which anyone who knows an
//         invitation's password can fill as they like.
// A text over the length limit must be refused as such. Whatever decodes
// must be something a sender could have meant: a 32-byte key, at least one
// transport of a known type with a usable host below 200 bytes and a port.
// A plain record read whole is written again with a fixed seed and must read
// back as the same record.
#include "peer/invitationrecord.h"
#include "peer/peerfactory.h"

#include <QtGlobal>

#include <sodium.h>

#include <cstdint>
#include <cstdlib>
#include <vector>

namespace {

const QString kPassword = QStringLiteral("Fuzz1234");

void check(bool ok)
{
    if (!ok)
        std::abort();
}

void checkKept(const InvitationRecord& record)
{
    check(record.publicKey.size() == int(InvitationRecord::PublicKeyBytes));
    check(!record.transports.empty());
    check(record.deviceType == InvitationRecord::deviceTypeForFlags(record.flags));
    for (const TransportDto& t : record.transports) {
        const quint8 code = InvitationRecord::transportCode(t.type);
        check(code != InvitationRecord::CodeNone && InvitationRecord::transportType(code) == t.type);
        check(!InvitationRecord::isUnusableHost(t.host) && t.port != 0 && !t.uuid.isEmpty());
        check(std::size_t(t.host.toUtf8().size()) < InvitationRecord::HostBufferBytes);
        check(!t.host.contains(QChar(0)));
        check(t.stream == (code == InvitationRecord::CodeTcp || code == InvitationRecord::CodeOnion));
    }
}

bool sameTransports(const std::vector<TransportDto>& a, const std::vector<TransportDto>& b)
{
    if (a.size() != b.size())
        return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (a[i].type != b[i].type || a[i].host != b[i].host || a[i].port != b[i].port
            || a[i].stream != b[i].stream)
            return false;
    }
    return true;
}

void fuzzText(const std::uint8_t* data, std::size_t size)
{
    std::size_t length = 0;
    while (length < size && data[length] != 0)
        ++length;
    const QString text = QString::fromLatin1(reinterpret_cast<const char*>(data), int(length));
    InvitationRecord record;
    const int rc = InvitationRecord::decode(text, kPassword, &record);
    check(rc >= InvitationRecord::Ok && rc <= InvitationRecord::ErrorPublicKey);
    check((text.size() > InvitationRecord::MaxTextLength) == (rc == InvitationRecord::ErrorTextTooLong));
    check(PeerFactory::decodeInvitation(text, kPassword, &record) == (rc == InvitationRecord::Ok));
    if (rc == InvitationRecord::Ok) {
        checkKept(record);
        QByteArray sealed;
        check(InvitationRecord::unwrap(text, &sealed) == InvitationRecord::Ok);
        check(!sealed.isEmpty() && sealed.size() <= InvitationRecord::MaxSealedBytes);
    }
}

void fuzzPlain(const std::uint8_t* data, std::size_t size)
{
    // A heap copy of exactly the input, so that any read past it is caught.
    const QByteArray plain(reinterpret_cast<const char*>(data), int(size));
    InvitationRecord record;
    const int rc = InvitationRecord::readPlain(plain, &record);
    check(rc == InvitationRecord::Ok || rc == InvitationRecord::ErrorRecordType || rc == InvitationRecord::ErrorRecord
          || rc == InvitationRecord::ErrorNoTransport || rc == InvitationRecord::ErrorPublicKey);
    if (rc != InvitationRecord::Ok)
        return;
    checkKept(record);

    // Text that was not UTF-8 comes back with replacement characters and may
    // no longer fit; what fits must read back unchanged.
    const QByteArray seed(int(InvitationRecord::SigningSeedBytes), '\x42');
    int written = -1;
    const QByteArray again = record.writePlain(seed, &written);
    check(again.isEmpty() == (written != InvitationRecord::Ok));
    if (again.isEmpty()) {
        check(written == InvitationRecord::ErrorTooLarge);
        return;
    }
    check(again.size() <= InvitationRecord::RecordBufferBytes);
    std::vector<TransportDto> carried;
    for (const TransportDto& t : record.transports) {
        if (std::size_t(t.host.toUtf8().size()) < InvitationRecord::HostBufferBytes)
            carried.push_back(t);
    }
    InvitationRecord back;
    const int reread = InvitationRecord::readPlain(again, &back);
    if (carried.empty()) {
        check(reread == InvitationRecord::ErrorNoTransport);
        return;
    }
    check(reread == InvitationRecord::Ok);
    check(back.version == InvitationRecord::RecordVersion);
    check(back.flags == (record.flags & InvitationRecord::FlagsMask));
    check(back.timestamp == record.timestamp && back.publicKey == record.publicKey);
    check(back.id == record.id && back.name == record.name);
    check(sameTransports(back.transports, carried));
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    static const bool initialised = [] {
        // qUncompress complains about every broken stream; thousands a
        // second would only slow the run down.
        qInstallMessageHandler([](QtMsgType, const QMessageLogContext&, const QString&) {});
        return sodium_init() >= 0;
    }();
    check(initialised);
    if (size == 0)
        return 0;
    const std::vector<std::uint8_t> input(data + 1, data + size);
    if (data[0] & 1)
        fuzzPlain(input.data(), input.size());
    else
        fuzzText(input.data(), input.size());
    return 0;
}
