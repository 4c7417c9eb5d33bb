// Feeds arbitrary frames to the file-system command parser under every
// protocol version, on one reused record as a peer does. Whatever is
// accepted must keep the record's recorded lengths inside its areas, and its
// listing entries and drive strings must be readable within those lengths.
#include "com/wire/termstreamreader.h"
#include "vfs/protocol/vfsmirkcommand.h"
#include "vfs/protocol/vfsmirkcommandparser.h"
#include "vfs/protocol/vfsmirklistentry.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>

namespace {

void check(bool ok)
{
    if (!ok)
        std::abort();
}

void checkRecord(const VfsMirkCommand& cmd, std::size_t size)
{
    check(cmd.length == size);
    check(cmd.pathLength < std::uint32_t(VfsMirkCommand::PathSize));
    check(cmd.destinationPathLength < std::uint32_t(VfsMirkCommand::PathSize));
    check(cmd.dataLength <= std::uint32_t(VfsMirkCommand::DataSize));
    check(cmd.digestLength <= std::uint32_t(VfsMirkCommand::DigestSize));
    check(cmd.entryAreaLength <= std::uint32_t(VfsMirkCommand::EntryAreaSize));
    check(cmd.driveStringsUsed <= std::uint32_t(VfsMirkCommand::DriveStringSize));

    switch (cmd.command) {
    case VfsMirkCommand::QueryListDirectory | VfsMirkCommand::ReplyBit: {
        // Decode the page as a client would, with every field set.
        com::TermStreamReader reader(cmd.entryArea, cmd.entryAreaLength);
        VfsMirkListEntry entry;
        for (int i = 0; i < cmd.count; ++i) {
            if (!entry.read(reader, VfsMirkListEntry::FieldsAll))
                break;
            check(entry.name.size() <= VfsMirkListEntry::MaxNameBytes);
            check(entry.reference.size() <= VfsMirkListEntry::MaxReferenceBytes);
        }
        break;
    }
    case VfsMirkCommand::ListDrives | VfsMirkCommand::ReplyBit:
        check(cmd.count <= VfsMirkCommand::MaxDrives);
        for (int i = 0; i < cmd.count; ++i) {
            const VfsMirkCommand::Drive& drive = cmd.drives[i];
            check(drive.rootPathOffset + drive.rootPathLength < cmd.driveStringsUsed);
            check(drive.nameOffset + drive.nameLength < cmd.driveStringsUsed);
            check(cmd.driveStrings[drive.nameOffset + drive.nameLength] == 0);
            check(cmd.driveRootPath(i).size() == int(drive.rootPathLength));
        }
        break;
    case VfsMirkCommand::HashFile | VfsMirkCommand::ReplyBit:
        check(cmd.digestLength == std::uint32_t(cmd.count) * VfsMirkCommand::DigestBytes);
        break;
    default:
        break;
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    static VfsMirkCommandParser parser;
    static std::unique_ptr<VfsMirkCommand> cmd(new VfsMirkCommand());

    // An exact copy, so that any read past the frame is caught.
    std::unique_ptr<std::uint8_t[]> frame(new std::uint8_t[size ? size : 1]);
    if (size)
        std::memcpy(frame.get(), data, size);
    for (std::uint16_t version : { std::uint16_t(1), std::uint16_t(2), std::uint16_t(3) }) {
        if (parser.processCommand(frame.get(), size, cmd.get(), version))
            checkRecord(*cmd, size);
    }
    return 0;
}
