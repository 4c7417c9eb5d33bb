// Arbitrary bytes as the output of "7z l -ba -slt" for an archive of unknown
// origin. Whatever the parser accepts must be safe to extract: every
// top-level name is one plain path component, and no top-level name is
// both missing and counted. A refused listing names its fault.
#include "archive/archivelisting.h"

#include <QByteArray>

#include <cstdint>
#include <cstdlib>

namespace {

void check(bool ok)
{
    if (!ok)
        std::abort();
}

void checkTopName(const QString& name)
{
    check(!name.isEmpty());
    check(!name.contains(QLatin1Char('/')) && !name.contains(QLatin1Char('\\')));
    check(name != QLatin1String("..") && name != QLatin1String("."));
    for (const QChar c : name)
        check(c.unicode() >= 0x20 && c.unicode() != 0x7f);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const QByteArray output(reinterpret_cast<const char*>(data), int(size));
    ArchiveListing listing;
    const bool ok = listing.parse(output);
    check(ok == (listing.fault() == ArchiveListing::NoFault));
    if (!ok)
        return 0;
    for (const QString& name : listing.topFiles())
        checkTopName(name);
    for (const QString& name : listing.topFolders())
        checkTopName(name);
    check(listing.topLevelCount() <= listing.entryCount());
    // The same bytes with a blank line at the end give the same answer.
    ArchiveListing again;
    check(again.parse(output + "\n\n"));
    check(again.topFiles() == listing.topFiles() && again.topFolders() == listing.topFolders());
    // Each path check agrees with itself on its normalised result.
    for (const QString& name : listing.topFolders()) {
        QString normalised;
        check(ArchiveListing::checkEntryPath(name, &normalised) == ArchiveListing::NoFault);
        check(normalised == name);
    }
    return 0;
}
