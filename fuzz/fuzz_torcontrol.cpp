// Arbitrary bytes as what the Tor control port sends back. The bytes are cut
// into replies the way the service collects them: a reported length always
// ends a line, and the reply it covers is reported whole again on its own.
// Each reply then goes to every step of the exchange. Whatever is taken from
// it must be well formed: an onion address is a 56-letter service id with
// ".onion", a key handed out is base64 text. No line, however odd, is logged
// with key material after the key type.
#include "com/tor/torhiddenservice.h"

#include <QByteArray>
#include <QCoreApplication>

#include <cstdint>
#include <cstdlib>

namespace {

void check(bool ok)
{
    if (!ok)
        std::abort();
}

TorHiddenService* s_service = nullptr;

void checkLoggable(const QByteArray& line)
{
    const QByteArray logged = TorHiddenService::loggableLine(line);
    int at = 0;
    while ((at = logged.indexOf("ED25519-V3:", at)) >= 0) {
        at += 11;
        check(logged.mid(at).startsWith("[hidden]"));
    }
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv)
{
    static QCoreApplication app(*argc, *argv);
    s_service = new TorHiddenService(TorHiddenService::DefaultControlPort, 4000, QString(), nullptr);
    QObject::connect(s_service, &TorHiddenService::hiddenServiceOnline, [](const QString& address) {
        check(address.endsWith(QLatin1String(".onion")) && TorHiddenService::isValidServiceId(address.chopped(6)));
    });
    QObject::connect(s_service, &TorHiddenService::createdEd25519v3Key,
                     [](const QString& key) { check(TorHiddenService::isValidKey(key)); });
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    QByteArray rest(reinterpret_cast<const char*>(data), int(size));
    for (const QByteArray& line : rest.split('\n'))
        checkLoggable(line);
    while (!rest.isEmpty()) {
        const int length = TorHiddenService::replyLength(rest);
        check(length >= -1 && length <= rest.size());
        if (length <= 0)
            break;
        const QByteArray reply = rest.left(length);
        check(reply.endsWith("\r\n"));
        check(TorHiddenService::replyLength(reply) == length);
        check(TorHiddenService::replyLength(reply.chopped(1)) == 0);
        s_service->cookieFileResponse(reply);
        s_service->authenticateResponse(reply);
        s_service->addNewOnionResponse(reply);
        s_service->addOnionResponse(reply);
        const QString address = s_service->onionAddress();
        check(address.isEmpty() || TorHiddenService::isValidServiceId(address.chopped(6)));
        for (const QString& key : {QStringLiteral("COOKIEFILE"), QStringLiteral("ServiceID")})
            TorHiddenService::parseQuotedValue(QString::fromUtf8(reply), key);
        rest.remove(0, length);
    }
    return 0;
}
