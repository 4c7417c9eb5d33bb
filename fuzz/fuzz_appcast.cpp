// Arbitrary bytes as the update feed an update site sends. Whatever the
// parser takes must be usable as it is: an entry that is ok has an address,
// a version of bounded length and a 64-digit hexadecimal checksum; an entry
// that is not ok is never offered. The version comparison takes any text.
#include "update/appcast.h"

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
} // namespace

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv)
{
    static QCoreApplication app(*argc, *argv);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const QByteArray feed(reinterpret_cast<const char*>(data), int(size));
    const Appcast::Entry entry = Appcast::parse(feed);
    if (entry.ok) {
        check(!entry.url.isEmpty() && entry.url.size() <= Appcast::MaxUrlLength);
        check(!entry.version.isEmpty() && entry.version.size() <= Appcast::MaxVersionLength);
        check(Appcast::isSha256Hex(entry.sha256));
        // Newer and not newer at once is impossible.
        const bool newer = Appcast::isNewer(entry.version, QStringLiteral("0.5.22"));
        check(!(newer && Appcast::isNewer(QStringLiteral("0.5.22"), entry.version)));
    }
    Appcast::isNewer(QString::fromUtf8(feed.left(80)), QStringLiteral("0.5.22"));
    return 0;
}
