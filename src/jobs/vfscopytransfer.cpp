#include "jobs/vfscopyjob_p.h"

#include "vfs/protocol/fsostatus.h"

#include <QDateTime>

#include <algorithm>
#include <cstring>

// --- progress -------------------------------------------------------------------

void VfsCopyJobPrivate::addCopied(quint64 bytes)
{
    // A file counts no more than its size as listed; one that grew is
    // found by the check after the copy, which raises the total.
    if (jobState == Transfer)
        bytes = std::min(bytes, fileSize > fileCounted ? fileSize - fileCounted : 0);
    if (!bytes)
        return;
    fileCounted += bytes;
    const quint64 copied = bytesCopied.fetch_add(bytes) + bytes;
    changes |= ChangedCopied;
    // A source that grew since it was counted raises the total: the counter
    // never passes it.
    if (copied > bytesTotal) {
        bytesTotal = copied;
        emit q->bytesTotalChanged();
    }
}

// At most one progress signal a second.
void VfsCopyJobPrivate::report()
{
    if ((changes & ChangedCopied) && now() - lastCopiedSignal >= VfsCopyJob::ProgressInterval) {
        changes &= ~quint32(ChangedCopied);
        lastCopiedSignal = now();
        emit q->bytesCopiedChanged();
        emit q->percentDoneChanged();
    }
    if (changes & ChangedSpeed) {
        changes &= ~quint32(ChangedSpeed);
        emit q->writeSpeedChanged();
        emit q->remainingTimeChanged();
    }
}

// When the job stops moving (a question, a failure, the end), the view gets
// the last figures.
void VfsCopyJobPrivate::flushProgress()
{
    if (changes & ChangedCopied)
        lastCopiedSignal = now() - VfsCopyJob::ProgressInterval;
    report();
}

void VfsCopyJobPrivate::updateSpeed(quint64 bytes)
{
    windowBytes += bytes;
    const qint64 time = now();
    if (windowStart < 0) {
        windowStart = time;
        return;
    }
    const qint64 elapsed = time - windowStart;
    if (elapsed <= VfsCopyJob::ProgressInterval)
        return;
    const quint64 rate = windowBytes * 1000 / quint64(elapsed);
    const quint64 speed = (rate + bytesPerSecond) / 2;
    bytesPerSecond = speed;
    if (speed) {
        const quint64 copied = bytesCopied, total = bytesTotal;
        const qint64 left = copied < total ? qint64((total - copied) / speed) : 0;
        const qint64 previous = remainingSeconds;
        remainingSeconds = previous <= 0 ? left : (left + previous) / 2;
    }
    windowBytes = 0;
    windowStart = time;
    changes |= ChangedSpeed;
}
// --- block transfer -------------------------------------------------------------

void VfsCopyJobPrivate::resetTransfer()
{
    chunks.clear();
    blocks.clear();
    writeQueue.clear();
    hashState = HashAskSource;
    hashOffset = 0;
    sourceDigestCount = 0;
    sourceHashStatus = 0;
    readFailed = writeFailed = verifyFailed = false;
    verifyRun = 0;
    lastBlockCopied = destinationHadLast = destinationLonger = haveLastDigest = false;
    lastOffset = endOffset = sourceEnd = 0;
    finalStep = FinalDecide;
    cutHandle = 0;
    fileVerified = false;
    sourceMoved = false;
    fileCounted = 0;
}

// Lets the reads, writes and digests of a file that is given up come back;
// true once none is out.
bool VfsCopyJobPrivate::drainTransfers()
{
    chunks.clear();
    writeQueue.clear();
    bool idle = true;
    auto drain = [this, &idle](const VfsClientJob* job) {
        take(job);
        if (isOut(job))
            idle = false;
    };
    for (int i = 0; i < VfsCopyJob::TransferSlots; ++i) {
        drain(&records->reads[i]);
        drain(&records->writes[i]);
    }
    drain(&records->hash);
    drain(&records->verify);
    drain(&records->open);
    drain(&records->close);
    if (idle) {
        blocks.clear();
        verifyRun = 0;
    }
    return idle;
}

Block* VfsCopyJobPrivate::blockAt(quint64 offset)
{
    const quint64 start = offset - offset % VfsCopyJob::BlockSize;
    auto it = std::lower_bound(blocks.begin(), blocks.end(), start,
                               [](const Block& block, quint64 at) { return block.offset < at; });
    return it != blocks.end() && it->offset == start ? &*it : nullptr;
}

bool VfsCopyJobPrivate::transfersIdle() const
{
    for (int i = 0; i < VfsCopyJob::TransferSlots; ++i) {
        const VfsClientJob* read = &records->reads[i];
        const VfsClientJob* write = &records->writes[i];
        if (out.contains(read) || back.contains(read) || out.contains(write) || back.contains(write))
            return false;
    }
    return chunks.empty() && writeQueue.empty();
}

void VfsCopyJobPrivate::transfer(int action)
{
    if (action == VfsJob::ActionLeave) {
        chunks.clear();
        blocks.clear();
        writeQueue.clear();
        return;
    }
    if (action == VfsJob::ActionDelete)
        return;
    if (action == VfsJob::ActionEnter) {
        resetTransfer();
        records->close.jobStatus = 0;
    }
    if (!sourceMoved) {
        pumpDigests();
        pumpVerify();
        pumpReads();
        pumpWrites();
    }
    report();
    if (sourceMoved) {
        // The source changed under the copy: once nothing is out, the file
        // is closed and copied again.
        if (!drainTransfers())
            return;
        Logger::log(Logger::VMG2, "source %s changed while copied",
                    qPrintable(current.item.path));
        fileVerified = false;
        setJobState(CloseSource, __LINE__);
        schedule(VfsJob::ActionStep, __LINE__);
        return;
    }
    if (hashState == HashFailed || readFailed || writeFailed || verifyFailed) {
        if (!failureNoted)
            noteFailure(VfsCopyJob::FailureOther, -1, current.item.path);
        abortJob("error in io state", __LINE__);
        return;
    }
    if (jobState == Transfer && finishFile()) {
        fileVerified = true;
        setJobState(CloseSource, __LINE__);
        schedule(VfsJob::ActionStep, __LINE__);
    }
}

void VfsCopyJobPrivate::pumpDigests()
{
    VfsHashFileJob& hash = records->hash;
    if (hashState == HashSourceSent && take(&hash)) {
        if (hash.jobStatus != VfsClientJob::JobFinished) {
            Logger::log(Logger::VMG2, "aborted hash read file jobStatus: %u",
                        unsigned(hash.jobStatus));
            noteRequest(SourceSide, current.item.path, hash);
            hashState = HashFailed;
            return;
        }
        const quint8 status = hash.status;
        const int count = hash.digestsReceived;
        if (status != FSO_STATUS_OK && status != FSO_STATUS_END_OF_FILE) {
            Logger::log(Logger::VMG2, "unhandled hash read file status: 0x%02X", unsigned(status));
            noteRequest(SourceSide, current.item.path, hash);
            hashState = HashFailed;
            return;
        }
        // Short of the end, a batch is whole; a source that answers less
        // would be asked again without end.
        if (count > VfsCopyJob::DigestBatch || hash.digestBytes != quint32(count * DigestBytes)
            || (status == FSO_STATUS_OK && count != VfsCopyJob::DigestBatch)) {
            Logger::log(Logger::VMG2, "hash read file failed rspNBlocks: %d, rspSize: %u", count,
                        unsigned(hash.digestBytes));
            hashState = HashFailed;
            return;
        }
        std::memcpy(sourceDigests, hash.digests, size_t(count) * DigestBytes);
        sourceDigestCount = quint16(count);
        sourceHashStatus = status;
        hashState = HashAskDestination;
    }
    if (hashState == HashDestinationSent && take(&hash)) {
        compareDigests(hash);
        schedule(VfsJob::ActionStep, __LINE__);
    }
    if (hashState == HashAskSource) {
        // Digests run ahead of the copying, but not far.
        if (chunks.size() > size_t(VfsCopyJob::MaxQueuedBlocks)
            || blocks.size() > size_t(2 * VfsCopyJob::DigestBatch))
            return;
        hash.flags = 0x01;
        hash.handle = sourceHandle;
        hash.count = VfsCopyJob::DigestBatch;
        hash.blockSize = VfsCopyJob::BlockSize;
        hash.offset = hashOffset;
        hashState = HashSourceSent;
        send(SourceSide, &hash, &VfsClient::hashFile, __LINE__);
    } else if (hashState == HashAskDestination) {
        // At the source's end one digest more: a destination that goes on
        // beyond it is longer and must be cut.
        const bool end = sourceHashStatus == FSO_STATUS_END_OF_FILE;
        hash.flags = 0x01;
        hash.handle = destinationHandle;
        hash.count = quint16(sourceDigestCount + (end ? 1 : 0));
        hash.blockSize = VfsCopyJob::BlockSize;
        hash.offset = hashOffset;
        hashState = HashDestinationSent;
        send(DestinationSide, &hash, &VfsClient::hashFile, __LINE__);
    }
}

void VfsCopyJobPrivate::compareDigests(const VfsHashFileJob& reply)
{
    if (reply.jobStatus != VfsClientJob::JobFinished) {
        Logger::log(Logger::VMG2, "aborted hash write file jobStatus: %u", unsigned(reply.jobStatus));
        noteRequest(DestinationSide, writePath, reply);
        hashState = HashFailed;
        return;
    }
    const quint8 status = reply.status;
    if (status != FSO_STATUS_OK && status != FSO_STATUS_END_OF_FILE
        && status != FSO_STATUS_INVALID_OFFSET) {
        Logger::log(Logger::VMG2, "unhandled hash write file status: 0x%02X", unsigned(status));
        noteRequest(DestinationSide, writePath, reply);
        hashState = HashFailed;
        return;
    }
    const int count = status == FSO_STATUS_INVALID_OFFSET ? 0 : reply.digestsReceived;
    if (count > reply.count || reply.digestBytes < quint32(count * DigestBytes)) {
        hashState = HashFailed;
        return;
    }
    const bool end = sourceHashStatus == FSO_STATUS_END_OF_FILE;
    const quint32 blockSize = VfsCopyJob::BlockSize;
    int matches = 0;
    for (int i = 0; i < sourceDigestCount; ++i) {
        const quint64 offset = hashOffset + quint64(i) * blockSize;
        const quint8* digest = sourceDigests + i * DigestBytes;
        const bool last = end && i == sourceDigestCount - 1;
        if (i < count && std::memcmp(digest, reply.digests + i * DigestBytes, DigestBytes) == 0) {
            ++matches;
            quint64 bytes = blockSize;
            if (last)
                bytes = fileSize > offset ? std::min<quint64>(blockSize, fileSize - offset) : 0;
            addCopied(bytes);
            continue;
        }
        Block block;
        block.offset = offset;
        std::memcpy(block.digest, digest, DigestBytes);
        block.last = last;
        blocks.push_back(block);
        chunks.push_back(Chunk{offset, blockSize});
        if (last) {
            lastBlockCopied = true;
            destinationHadLast = i < count;
        }
    }
    Logger::log(Logger::VMG2, "hash write file offset %llu, nblocks %u status 0x%02X match %d",
                static_cast<unsigned long long>(hashOffset), unsigned(sourceDigestCount),
                unsigned(status), matches);
    if (end) {
        destinationLonger = count > sourceDigestCount;
        endOffset = hashOffset + quint64(sourceDigestCount) * blockSize;
        haveLastDigest = sourceDigestCount > 0;
        if (haveLastDigest) {
            lastOffset = endOffset - blockSize;
            std::memcpy(lastDigest, sourceDigests + (sourceDigestCount - 1) * DigestBytes,
                        DigestBytes);
        }
        hashState = HashDone;
    } else {
        hashOffset += quint64(blockSize) * sourceDigestCount;
        hashState = HashAskSource;
    }
}

// Written blocks are hashed again on the destination, a run of neighbours at
// a time; a run goes out when it is full or cannot grow any more.
void VfsCopyJobPrivate::pumpVerify()
{
    VfsHashFileJob& verify = records->verify;
    if (verifyRun > 0) {
        if (!take(&verify))
            return;
        const int run = verifyRun;
        verifyRun = 0;
        if (verify.jobStatus != VfsClientJob::JobFinished
            || (verify.status != FSO_STATUS_OK && verify.status != FSO_STATUS_END_OF_FILE)
            || verify.digestsReceived != run || verify.digestBytes != quint32(run * DigestBytes)) {
            Logger::log(Logger::VMG2, "verify offset %llu failed, status %u, digests %u of %d",
                        static_cast<unsigned long long>(verify.offset), unsigned(verify.status),
                        unsigned(verify.digestsReceived), run);
            noteRequest(DestinationSide, writePath, verify);
            verifyFailed = true;
            return;
        }
        for (int i = 0; i < run; ++i) {
            if (std::memcmp(blocks[size_t(i)].digest, verify.digests + i * DigestBytes,
                            DigestBytes) != 0) {
                // What was read is not what the source's digest was
                // taken of: the source changed between the two.
                Logger::log(Logger::VMG2, "written block at %llu does not match the source",
                            static_cast<unsigned long long>(blocks[size_t(i)].offset));
                sourceMoved = true;
                return;
            }
        }
        blocks.erase(blocks.begin(), blocks.begin() + run);
        schedule(VfsJob::ActionStep, __LINE__);
    }
    if (finalStep != FinalDecide)
        return;
    int run = 0;
    bool canGrow = false;
    while (run < int(blocks.size()) && run < VfsCopyJob::DigestBatch) {
        const Block& block = blocks[size_t(run)];
        if (block.last
            || (run > 0 && block.offset != blocks[size_t(run - 1)].offset + VfsCopyJob::BlockSize))
            break;
        if (!block.ready()) {
            canGrow = true;
            break;
        }
        ++run;
    }
    if (run == 0)
        return;
    if (run == int(blocks.size()) && run < VfsCopyJob::DigestBatch)
        canGrow = hashState != HashDone && hashState != HashAskSource;
    if (canGrow && run < VfsCopyJob::DigestBatch)
        return;
    verify.flags = 0x01;
    verify.handle = destinationHandle;
    verify.count = quint16(run);
    verify.blockSize = VfsCopyJob::BlockSize;
    verify.offset = blocks.front().offset;
    verifyRun = run;
    send(DestinationSide, &verify, &VfsClient::hashFile, __LINE__);
}

void VfsCopyJobPrivate::pumpReads()
{
    if (hashState == HashFailed || readFailed)
        return;
    bool issued = false;
    for (int i = 0; i < VfsCopyJob::TransferSlots; ++i) {
        VfsReadFileJob& read = records->reads[i];
        if (isOut(&read))
            continue;
        if (take(&read)) {
            if (read.jobStatus != VfsClientJob::JobFinished
                || (read.status != FSO_STATUS_OK && read.status != FSO_STATUS_END_OF_FILE)) {
                Logger::log(Logger::VMG2, "unhandled read file rsp.status %u, jobStatus %u",
                            unsigned(read.status), unsigned(read.jobStatus));
                noteRequest(SourceSide, current.item.path, read);
                readFailed = true;
                return;
            }
            Block* block = blockAt(read.offset);
            if (!block || read.offset != block->offset + block->read) {
                readFailed = true;
                return;
            }
            const quint32 length = read.length;
            if (length > 0) {
                writeQueue.push_back(QueuedWrite{
                    read.offset, QByteArray(reinterpret_cast<const char*>(read.data), int(length))});
                ++block->writes;
                block->read += length;
            }
            if (read.status == FSO_STATUS_END_OF_FILE) {
                // Only the last block may end early: otherwise the source
                // shrank since its digests were taken.
                if (!block->last && block->read < VfsCopyJob::BlockSize) {
                    Logger::log(Logger::VMG2, "source ended at %llu, before its last block",
                                static_cast<unsigned long long>(read.offset + length));
                    sourceMoved = true;
                    return;
                }
                block->readDone = true;
            } else if (block->read >= VfsCopyJob::BlockSize) {
                block->readDone = true;
            } else {
                // A short read: the rest of the block comes next, no hole is left.
                chunks.push_front(Chunk{read.offset + length, VfsCopyJob::BlockSize - block->read});
            }
            if (block->readDone && block->last)
                sourceEnd = block->offset + block->read;
            schedule(VfsJob::ActionStep, __LINE__);
        }
        if (!issued && !chunks.empty() && writeQueue.size() <= size_t(VfsCopyJob::TransferSlots)) {
            const Chunk chunk = chunks.front();
            chunks.pop_front();
            read.flags = 0;
            read.handle = sourceHandle;
            read.offset = chunk.offset;
            read.size = chunk.size;
            read.length = 0;
            issued = true;
            send(SourceSide, &read, &VfsClient::readFile, __LINE__);
            schedule(VfsJob::ActionStep, __LINE__);
        }
    }
}

void VfsCopyJobPrivate::pumpWrites()
{
    if (writeFailed)
        return;
    bool issued = false;
    for (int i = 0; i < VfsCopyJob::TransferSlots; ++i) {
        VfsWriteFileJob& write = records->writes[i];
        if (isOut(&write))
            continue;
        if (take(&write)) {
            // Every byte read is written, and the reply must say so.
            if (write.jobStatus != VfsClientJob::JobFinished || write.status != FSO_STATUS_OK
                || write.written != write.size) {
                Logger::log(Logger::VMG2, "unhandled write file status %u, written %u of %u",
                            unsigned(write.status), unsigned(write.written), unsigned(write.size));
                noteRequest(DestinationSide, writePath, write);
                writeFailed = true;
                return;
            }
            Block* block = blockAt(write.offset);
            if (!block || block->writes <= 0) {
                writeFailed = true;
                return;
            }
            --block->writes;
            addCopied(write.size);
            updateSpeed(write.size);
            schedule(VfsJob::ActionStep, __LINE__);
        }
        if (!issued && !writeQueue.empty()) {
            QueuedWrite& queued = writeQueue.front();
            write.flags = 0x04; // the file grows where the offset lies past its end
            write.handle = destinationHandle;
            write.offset = queued.offset;
            write.size = quint32(queued.data.size());
            write.written = 0;
            std::memcpy(write.data, queued.data.constData(), size_t(queued.data.size()));
            writeQueue.pop_front();
            if (windowStart < 0) {
                windowStart = now();
                windowBytes = 0;
            }
            issued = true;
            send(DestinationSide, &write, &VfsClient::writeFile, __LINE__);
            schedule(VfsJob::ActionStep, __LINE__);
        }
    }
}

void VfsCopyJobPrivate::sendTail()
{
    VfsHashFileJob& verify = records->verify;
    verify.flags = 0x01;
    verify.handle = destinationHandle;
    verify.count = haveLastDigest ? 2 : 1;
    verify.blockSize = VfsCopyJob::BlockSize;
    verify.offset = haveLastDigest ? lastOffset : endOffset;
    finalStep = FinalTail;
    send(DestinationSide, &verify, &VfsClient::hashFile, __LINE__);
}

// After every block is in place: the destination gets the source's size and
// its end is checked. True when the file is complete.
bool VfsCopyJobPrivate::finishFile()
{
    if (hashState != HashDone || !transfersIdle() || verifyRun > 0)
        return false;
    if (!blocks.empty() && !(blocks.size() == 1 && blocks.front().last && blocks.front().ready()))
        return false;
    VfsOpenFileJob& open = records->open;
    VfsCloseFileJob& close = records->close;
    switch (finalStep) {
    case FinalDecide: {
        quint64 size = endOffset;
        bool cut = destinationLonger;
        if (haveLastDigest && lastBlockCopied) {
            size = sourceEnd;
            cut = destinationLonger || (destinationHadLast && sourceEnd < endOffset);
        }
        if (!cut) {
            if (!lastBlockCopied)
                return true;
            sendTail();
            return false;
        }
        // The size travels with times only: the file gets the present
        // time, never the source's before it is verified.
        VfsCopyItem stamp;
        stamp.atime = stamp.mtime = QDateTime::currentMSecsSinceEpoch();
        Logger::log(Logger::VMG2, "cut %s to %llu bytes", qPrintable(writePath),
                    static_cast<unsigned long long>(size));
        finalStep = FinalCutOpen;
        sendOpen(DestinationSide, C::OpenRead | C::OpenWrite | C::OpenTruncate, writePath, stamp,
                 size, __LINE__);
        return false;
    }
    case FinalCutOpen:
        if (!take(&open))
            return false;
        if (!opened(open)) {
            verifyFailed = true;
            failRequest(DestinationSide, writePath, open, "failed to cut the destination",
                        __LINE__);
            return false;
        }
        cutHandle = open.handle;
        close.flags = 0;
        close.handle = cutHandle;
        finalStep = FinalCutClose;
        send(DestinationSide, &close, &VfsClient::closeFile, __LINE__);
        return false;
    case FinalCutClose:
        if (!take(&close))
            return false;
        if (!succeeded(close)) {
            failRequest(DestinationSide, writePath, close, "failed to close the cut destination",
                        __LINE__);
            return false;
        }
        cutHandle = 0;
        sendTail();
        return false;
    case FinalTail: {
        VfsHashFileJob& verify = records->verify;
        if (!take(&verify))
            return false;
        const int expected = haveLastDigest ? 1 : 0;
        const bool ok = verify.jobStatus == VfsClientJob::JobFinished
            && (verify.status == FSO_STATUS_OK || verify.status == FSO_STATUS_END_OF_FILE)
            && verify.digestsReceived == expected
            && (!haveLastDigest || std::memcmp(verify.digests, lastDigest, DigestBytes) == 0);
        if (!ok) {
            Logger::log(Logger::VMG2, "end of %s does not match the source, status %u, digests %u",
                        qPrintable(current.item.path), unsigned(verify.status),
                        unsigned(verify.digestsReceived));
            if (verify.jobStatus == VfsClientJob::JobFinished
                && (verify.status == FSO_STATUS_OK || verify.status == FSO_STATUS_END_OF_FILE)) {
                // The destination ends as it was written: the source's
                // last block changed after its digest was taken.
                sourceMoved = true;
                schedule(VfsJob::ActionStep, __LINE__);
            } else {
                failRequest(DestinationSide, writePath, verify, "destination end unreadable",
                            __LINE__);
            }
            return false;
        }
        blocks.clear();
        finalStep = FinalDone;
        return true;
    }
    default:
        return finalStep == FinalDone;
    }
}
