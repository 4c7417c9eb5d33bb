// Prints how fast the file-system server of a paired peer (access mode 0,
// inside a share) serves what a client asks most: all pages of a directory
// of 100,000 entries, and READ_FILE of a 1 GiB file. Requests go in as
// frames through the parser, replies come out as frames and are decoded
// again, as on a peer link, only without the network. Then HASH_FILE of the
// same file in the batches a delta copy asks for.
//
// Usage: vfsserver [entries] [file MiB] [requests in flight]
#include "com/wire/termstreamreader.h"
#include "vfs/protocol/vfsmirkcommand.h"
#include "vfs/protocol/vfsmirkcommandparser.h"
#include "vfs/protocol/vfsmirkcommandwriter.h"
#include "vfs/protocol/vfsmirklistentry.h"
#include "vfs/server/vfspathguard.h"
#include "vfs/server/vfsservervelm.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>

#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <functional>
#include <memory>
#include <unistd.h>

namespace {

const QString kShare = QStringLiteral("{b0b0b0b0-0000-0000-0000-000000000001}");

struct Peer
{
    explicit Peer(const QString& shareRoot) : server(VfsServerVelm::Restricted)
    {
        server.setPeerVersion(3);
        PeerAclDto share;
        share.uuid = kShare;
        share.name = "bench";
        share.selector = shareRoot;
        share.flags = VfsPathGuard::ShareRead | VfsPathGuard::ShareWrite
            | VfsPathGuard::ShareDirectory;
        server.setShares({ share });
        QObject::connect(&server, &VfsServerVelm::fsoTransmit, [this](const QByteArray& frame) {
            bytesOut += frame.size();
            if (frame.size() > 8 && quint8(frame.at(8)) != VfsMirkCommand::DirectoryChanged
                && parser.processCommand(frame, reply.get(), 3)) {
                onReply(*reply);
            }
        });
    }

    void send(const QByteArray& frame)
    {
        bytesIn += frame.size();
        if (!parser.processCommand(frame, request.get(), 3)) {
            std::fprintf(stderr, "request refused by the parser\n");
            std::exit(1);
        }
        server.processIncomingCommand(request.get());
    }

    VfsServerVelm server;
    VfsMirkCommandParser parser;
    std::unique_ptr<VfsMirkCommand> request{ new VfsMirkCommand() };
    std::unique_ptr<VfsMirkCommand> reply{ new VfsMirkCommand() };
    std::function<void(const VfsMirkCommand&)> onReply = [](const VfsMirkCommand&) {};
    qint64 bytesIn = 0;
    qint64 bytesOut = 0;
};

void waitUntil(const std::function<bool()>& done)
{
    while (!done())
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
}

void listing(const QString& shareRoot, int entries)
{
    const QString directory = shareRoot + "/many";
    QDir().mkpath(directory);
    QElapsedTimer made;
    made.start();
    for (int i = 0; i < entries; ++i) {
        const QByteArray name = QFile::encodeName(directory)
            + QByteArray("/entry-") + QByteArray::number(i).rightJustified(6, '0') + ".dat";
        const int fd = ::open(name.constData(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
        if (fd < 0) {
            std::perror("create");
            std::exit(1);
        }
        ::close(fd);
    }
    std::printf("listing: %d files made in %.1f s\n", entries, made.elapsed() / 1000.0);

    for (int round = 0; round < 3; ++round) {
        Peer peer(shareRoot);
        quint32 received = 0;
        int pages = 0;
        bool complete = false;
        quint8 status = 0;
        const quint16 trId = 1;
        peer.onReply = [&](const VfsMirkCommand& r) {
            if (r.command == (VfsMirkCommand::ListDirectory | VfsMirkCommand::ReplyBit)) {
                status = r.status;
                if (r.status != 0)
                    complete = true;
                else
                    peer.send(VfsMirkCommandWriter::queryListDirectoryRequest(trId, 0));
                return;
            }
            // Decode the page as the client does.
            com::TermStreamReader reader(r.entryArea, r.entryAreaLength);
            VfsMirkListEntry entry;
            for (int i = 0; i < r.count; ++i)
                entry.read(reader, VfsMirkListEntry::FieldsAll);
            received += r.count;
            ++pages;
            status = r.status;
            if (r.status != 0)
                complete = true;
            else
                peer.send(VfsMirkCommandWriter::queryListDirectoryRequest(trId, received));
        };
        VfsMirkFieldMask fields;
        fields.set(0, VfsMirkListEntry::FieldsAll);
        QElapsedTimer timer;
        timer.start();
        peer.send(VfsMirkCommandWriter::listDirectoryRequest(trId, 0, fields,
                                                             QFile::encodeName(directory)));
        waitUntil([&] { return complete; });
        const double seconds = timer.nsecsElapsed() / 1e9;
        std::printf("listing round %d: %u entries in %d pages, status %u, %.3f s "
                    "(%.0f entries/s, %.1f MB of pages)\n",
                    round + 1, received, pages, unsigned(status), seconds, received / seconds,
                    peer.bytesOut / 1e6);
    }
    QDir(directory).removeRecursively();
}

void reading(const QString& shareRoot, qint64 mebibytes, int inFlight)
{
    const QString path = shareRoot + "/big.bin";
    const qint64 size = mebibytes * 1024 * 1024;
    {
        QFile file(path);
        if (!file.open(QIODevice::WriteOnly)) {
            std::fprintf(stderr, "cannot write %s\n", qPrintable(path));
            std::exit(1);
        }
        QByteArray chunk(1 << 20, Qt::Uninitialized);
        for (int i = 0; i < chunk.size(); ++i)
            chunk[i] = char((i * 131) >> 3);
        for (qint64 written = 0; written < size; written += chunk.size())
            file.write(chunk.constData(), qMin<qint64>(chunk.size(), size - written));
    }

    for (int round = 0; round < 2; ++round) {
        Peer peer(shareRoot);
        quint16 handle = 0;
        bool opened = false;
        qint64 nextOffset = 0;
        qint64 bytesRead = 0;
        int outstanding = 0;
        int errors = 0;
        quint16 trId = 10;
        peer.onReply = [&](const VfsMirkCommand& r) {
            if (r.command == (VfsMirkCommand::OpenFile | VfsMirkCommand::ReplyBit)) {
                handle = r.handle;
                opened = true;
                if (r.status != 0)
                    errors = 1;
                return;
            }
            if (r.command == (VfsMirkCommand::ReadFile | VfsMirkCommand::ReplyBit)) {
                --outstanding;
                bytesRead += r.dataLength;
                if (r.status != 0 && r.status != 7)
                    ++errors;
            }
        };
        QElapsedTimer timer;
        timer.start();
        peer.send(VfsMirkCommandWriter::openFileRequest(trId++, 3, VfsMirkCommand::OpenRead,
                                                        VfsMirkFieldMask(), 0, 0, 0, 0,
                                                        QFile::encodeName(path)));
        waitUntil([&] { return opened; });
        if (errors) {
            std::fprintf(stderr, "open failed\n");
            std::exit(1);
        }
        while (nextOffset < size || outstanding > 0) {
            while (outstanding < inFlight && nextOffset < size) {
                peer.send(VfsMirkCommandWriter::readFileRequest(trId++, 0, handle,
                                                                quint64(nextOffset), 64400));
                nextOffset += 64400;
                ++outstanding;
            }
            QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
        }
        const double seconds = timer.nsecsElapsed() / 1e9;
        std::printf("READ_FILE round %d: %.0f MiB in %.3f s = %.1f MB/s (%d requests in flight, "
                    "%lld bytes of frames out, %d errors)\n",
                    round + 1, bytesRead / 1048576.0, seconds, bytesRead / seconds / 1e6,
                    inFlight, static_cast<long long>(peer.bytesOut), errors);

        // HASH_FILE as a delta copy asks it: batches of 64 digests of
        // 64,400-byte blocks, the file now in the page cache.
        constexpr quint32 hashBlock = 64400;
        constexpr quint16 batch = 64;
        qint64 digests = 0;
        nextOffset = 0;
        outstanding = 0;
        peer.onReply = [&](const VfsMirkCommand& r) {
            if (r.command == (VfsMirkCommand::HashFile | VfsMirkCommand::ReplyBit)) {
                --outstanding;
                digests += r.count;
                if (r.status != 0 && r.status != 7)
                    ++errors;
            }
        };
        timer.start();
        while (nextOffset < size || outstanding > 0) {
            while (outstanding < inFlight && nextOffset < size) {
                peer.send(VfsMirkCommandWriter::hashFileRequest(trId++, 0x01, handle, batch, hashBlock,
                                                                quint64(nextOffset)));
                nextOffset += qint64(batch) * hashBlock;
                ++outstanding;
            }
            QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
        }
        const double hashSeconds = timer.nsecsElapsed() / 1e9;
        std::printf("HASH_FILE round %d: %lld digests of %u bytes in %.3f s = %.1f MB/s (%d requests in "
                    "flight, %d errors)\n",
                    round + 1, static_cast<long long>(digests), hashBlock, hashSeconds,
                    size / hashSeconds / 1e6, inFlight, errors);
    }
    QFile::remove(path);
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    const int entries = argc > 1 ? std::atoi(argv[1]) : 100000;
    const qint64 mebibytes = argc > 2 ? std::atoll(argv[2]) : 1024;
    const int inFlight = argc > 3 ? std::atoi(argv[3]) : 16;

    QTemporaryDir dir;
    if (!dir.isValid())
        return 1;
    const QString shareRoot = QFileInfo(dir.path()).canonicalFilePath() + "/share";
    QDir().mkpath(shareRoot);
    std::printf("share in %s\n", qPrintable(shareRoot));
    listing(shareRoot, entries);
    reading(shareRoot, mebibytes, inFlight);
    return 0;
}
