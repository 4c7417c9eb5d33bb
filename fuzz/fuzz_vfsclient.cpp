// Feeds arbitrary server frames to a file-system client that has one request
// of every kind waiting, as a hostile peer could send them. The input is a
// run of frames, each cut by its own length field (the rest of the input
// when that field is unusable), with transaction ids 0 to 9 naming the
// waiting requests in the order they were queued. Whatever comes back must
// stay inside the records: no more data than asked for, digests that match
// their count, only single, harmless entry names, at most 32 drives.
#include "vfs/client/vfsclientvelm.h"
#include "vfs/protocol/vfsmirkcommand.h"
#include "vfs/protocol/vfsmirkcommandparser.h"

#include <QCoreApplication>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>

namespace {

void check(bool ok)
{
    if (!ok)
        std::abort();
}

struct Jobs
{
    VfsListDirectoryJob list;
    VfsListDrivesJob drives;
    VfsMoveJob move;
    VfsOpenFileJob open;
    VfsCloseFileJob close;
    VfsReadFileJob read;
    VfsWriteFileJob write;
    VfsDeleteFileJob del;
    VfsHashFileJob hash;
    VfsMakeDirectoryJob mkdir;
};

void checkJobs(const Jobs& j)
{
    for (const VfsDirectoryEntry& e : j.list.entries) {
        check(!e.name.contains(QLatin1Char('/')) && !e.name.contains(QLatin1Char('\\'))
              && !e.name.contains(QChar(0)) && e.name != QLatin1String("..")
              && e.name != QLatin1String(".") && !e.name.isEmpty());
    }
    check(j.drives.drives.size() <= size_t(VfsMirkCommand::MaxDrives));
    check(j.read.length <= j.read.size);
    check(j.write.written <= j.write.size);
    check(j.hash.digestsReceived <= j.hash.count);
    check(j.hash.digestBytes == quint32(j.hash.digestsReceived) * VfsHashFileJob::DigestSize);
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv)
{
    static QCoreApplication app(*argc, *argv);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    static VfsMirkCommandParser parser;
    static std::unique_ptr<VfsMirkCommand> cmd(new VfsMirkCommand());
    // The records hold some 200 KB of buffers: built in the same place each
    // time, without zeroing them, the target runs at thousands of inputs a
    // second instead of a few hundred (fresh large blocks cost page faults).
    alignas(Jobs) static unsigned char storage[sizeof(Jobs)];
    static Jobs* jobs = nullptr;
    if (jobs)
        jobs->~Jobs();
    jobs = new (storage) Jobs;
    Jobs& j = *jobs;
    VfsClientVelm client;
    client.setNextTrId(0);
    j.list.path = "/";
    j.move.sourcePath = "/a";
    j.move.destinationPath = "/b";
    j.open.flags = VfsMirkCommand::OpenRead;
    j.open.path = "/f";
    j.close.handle = 1;
    j.read.handle = 1;
    j.read.offset = 4096;
    j.read.size = 1000;
    j.write.handle = 1;
    j.write.size = 10;
    j.del.path = "/d";
    j.hash.flags = 1;
    j.hash.count = 4;
    j.hash.blockSize = 4096;
    j.mkdir.path = "/m";
    client.listDirectory(&j.list);
    client.listDrives(&j.drives);
    client.move(&j.move);
    client.openFile(&j.open);
    client.closeFile(&j.close);
    client.readFile(&j.read);
    client.writeFile(&j.write);
    client.deleteFile(&j.del);
    client.hashFile(&j.hash);
    client.makeDirectory(&j.mkdir);
    client.jobTimerFired();

    std::size_t at = 0;
    while (at < size) {
        std::size_t length = size - at;
        if (length >= 5) {
            std::uint32_t field = 0;
            std::memcpy(&field, data + at + 1, 4);
            if (field >= 12 && field <= length)
                length = field;
        }
        // An exact copy, so that any read past the frame is caught.
        std::unique_ptr<std::uint8_t[]> frame(new std::uint8_t[length]);
        std::memcpy(frame.get(), data + at, length);
        at += length;
        if (parser.processCommand(frame.get(), length, cmd.get(), 3))
            client.processIncomingCommand(cmd.get());
        client.jobTimerFired(); // sends the next listing page, hands back one per kind
        checkJobs(j);
    }
    for (int i = 0; i < 3; ++i)
        client.jobTimerFired();
    checkJobs(j);
    return 0;
}
