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
    countCopied(bytes);
}

void VfsCopyJobPrivate::countCopied(quint64 bytes)
{
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
    hashState = HashAsking;
    hashOffset = 0;
    digestsOut.clear();
    piecesWanted.clear();
    piecesOut.clear();
    piecesInVain = piecesSkipped = 0;
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
    piecesWanted.clear();
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
    for (int i = 0; i < VfsCopyJob::DigestSlots; ++i) {
        drain(&records->sourceDigests[i]);
        drain(&records->destinationDigests[i]);
    }
    for (int i = 0; i < VfsCopyJob::PieceSlots; ++i) {
        drain(&records->sourcePieces[i]);
        drain(&records->destinationPieces[i]);
    }
    drain(&records->verify);
    drain(&records->open);
    drain(&records->close);
    if (idle) {
        blocks.clear();
        piecesOut.clear();
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
    return chunks.empty() && writeQueue.empty() && digestsOut.empty() && piecesWanted.empty()
        && piecesOut.empty();
}

void VfsCopyJobPrivate::transfer(int action)
{
    if (action == VfsJob::ActionLeave) {
        chunks.clear();
        blocks.clear();
        writeQueue.clear();
        piecesWanted.clear();
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
        pumpPieces();
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
        if (limits.closeAside) {
            closeInBackground();
        } else {
            fileVerified = true;
            setJobState(CloseSource, __LINE__);
            schedule(VfsJob::ActionStep, __LINE__);
        }
    }
}

// Digests are asked of both sides at once, a few batches ahead: a batch
// takes one round trip, and both machines hash several batches side by side.
// Batches ahead of the first are asked only within the size the file was
// listed with; the batch that finds the source's end is compared last.
void VfsCopyJobPrivate::pumpDigests()
{
    while (!digestsOut.empty()) {
        const DigestRequest head = digestsOut.front();
        VfsHashFileJob& source = records->sourceDigests[head.slot];
        VfsHashFileJob& destination = records->destinationDigests[head.slot];
        if (isOut(&source) || isOut(&destination))
            break;
        take(&source);
        take(&destination);
        digestsOut.pop_front();
        // Batches beyond the end, or after a failure, are only let go.
        if (hashState != HashAsking)
            continue;
        compareDigests(source, destination, head.offset);
        schedule(VfsJob::ActionStep, __LINE__);
    }
    while (hashState == HashAsking && digestsOut.size() < size_t(limits.digestBatches)) {
        if (!digestsOut.empty() && hashOffset >= fileSize)
            break;
        // Digests run ahead of the copying, but not far.
        if (chunks.size() > size_t(VfsCopyJob::MaxQueuedBlocks)
            || blocks.size() > size_t(2 * VfsCopyJob::DigestBatch))
            break;
        // A slot is free when neither of its records is out; one that came
        // back after a failed file was never taken and is free as well.
        int slot = -1;
        for (int i = 0; i < VfsCopyJob::DigestSlots && slot < 0; ++i) {
            const bool queued = std::any_of(digestsOut.begin(), digestsOut.end(),
                                            [i](const DigestRequest& r) { return r.slot == i; });
            if (!queued && !isOut(&records->sourceDigests[i])
                && !isOut(&records->destinationDigests[i]))
                slot = i;
        }
        if (slot < 0)
            break;
        // The destination is asked for as many blocks as the source: at
        // the source's end, any digest beyond its last says the destination
        // is longer.
        const int sides[2] = {SourceSide, DestinationSide};
        for (int side : sides) {
            VfsHashFileJob& hash = side == SourceSide ? records->sourceDigests[slot]
                                                       : records->destinationDigests[slot];
            hash.flags = 0x01;
            hash.handle = side == SourceSide ? sourceHandle : destinationHandle;
            hash.count = VfsCopyJob::DigestBatch;
            hash.blockSize = VfsCopyJob::BlockSize;
            hash.offset = hashOffset;
            hash.digestsReceived = 0;
            hash.digestBytes = 0;
            if (!send(side, &hash, &VfsClient::hashFile, __LINE__))
                return;
        }
        digestsOut.push_back(DigestRequest{slot, hashOffset});
        hashOffset += quint64(VfsCopyJob::BlockSize) * VfsCopyJob::DigestBatch;
    }
}

void VfsCopyJobPrivate::compareDigests(const VfsHashFileJob& source,
                                       const VfsHashFileJob& reply, quint64 batchOffset)
{
    if (source.jobStatus != VfsClientJob::JobFinished) {
        Logger::log(Logger::VMG2, "aborted hash read file jobStatus: %u",
                    unsigned(source.jobStatus));
        noteRequest(SourceSide, current.item.path, source);
        hashState = HashFailed;
        return;
    }
    const quint8 sourceStatus = source.status;
    const int sourceCount = source.digestsReceived;
    if (sourceStatus != FSO_STATUS_OK && sourceStatus != FSO_STATUS_END_OF_FILE) {
        Logger::log(Logger::VMG2, "unhandled hash read file status: 0x%02X",
                    unsigned(sourceStatus));
        noteRequest(SourceSide, current.item.path, source);
        hashState = HashFailed;
        return;
    }
    // Short of the end, a batch is whole; a source that answers less
    // would be asked again without end.
    if (sourceCount > VfsCopyJob::DigestBatch
        || source.digestBytes != quint32(sourceCount * DigestBytes)
        || (sourceStatus == FSO_STATUS_OK && sourceCount != VfsCopyJob::DigestBatch)) {
        Logger::log(Logger::VMG2, "hash read file failed rspNBlocks: %d, rspSize: %u",
                    sourceCount, unsigned(source.digestBytes));
        hashState = HashFailed;
        return;
    }
    const quint8* sourceDigests = source.digests;
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
    const bool end = sourceStatus == FSO_STATUS_END_OF_FILE;
    const quint32 blockSize = VfsCopyJob::BlockSize;
    int matches = 0;
    for (int i = 0; i < sourceCount; ++i) {
        const quint64 offset = batchOffset + quint64(i) * blockSize;
        const quint8* digest = sourceDigests + i * DigestBytes;
        const bool last = end && i == sourceCount - 1;
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
        // A whole block that both sides hold but that differs is compared
        // again in pieces; a missing block and the last one move whole.
        if (i < count && !last && limits.pieces)
            piecesWanted.push_back(offset);
        else
            queueBlock(&blocks.back());
        if (last) {
            lastBlockCopied = true;
            destinationHadLast = i < count;
        }
    }
    Logger::log(Logger::VMG2, "hash write file offset %llu, nblocks %d status 0x%02X match %d",
                static_cast<unsigned long long>(batchOffset), sourceCount, unsigned(status),
                matches);
    if (end) {
        // A whole batch that ends the file ends in a short block: a
        // destination that goes on has another digest there, so that block
        // is copied and the file cut.
        destinationLonger = count > sourceCount;
        endOffset = batchOffset + quint64(sourceCount) * blockSize;
        haveLastDigest = sourceCount > 0;
        if (haveLastDigest) {
            lastOffset = endOffset - blockSize;
            std::memcpy(lastDigest, sourceDigests + (sourceCount - 1) * DigestBytes, DigestBytes);
        }
        hashState = HashDone;
    }
}

void VfsCopyJobPrivate::queueBlock(Block* block)
{
    block->ranges = 1;
    chunks.push_back(Chunk{block->offset, VfsCopyJob::BlockSize});
}

// A differing block is hashed again on both sides in pieces, so that a small
// change moves a few pieces instead of the block. Whatever the pieces say,
// the block is verified whole against the source's digest once written.
void VfsCopyJobPrivate::pumpPieces()
{
    for (size_t i = 0; i < piecesOut.size();) {
        const DigestRequest head = piecesOut[i];
        VfsHashFileJob& source = records->sourcePieces[head.slot];
        VfsHashFileJob& destination = records->destinationPieces[head.slot];
        if (isOut(&source) || isOut(&destination)) {
            ++i;
            continue;
        }
        take(&source);
        take(&destination);
        piecesOut.erase(piecesOut.begin() + std::ptrdiff_t(i));
        if (hashState == HashFailed)
            continue;
        comparePieces(source, destination, head.offset);
        schedule(VfsJob::ActionStep, __LINE__);
    }
    while (hashState != HashFailed && !piecesWanted.empty()) {
        const quint64 offset = piecesWanted.front();
        if (piecesSkipped > 0) {
            // Pieces have not paid lately (a file rewritten throughout):
            // a round trip per block would only slow the copy.
            --piecesSkipped;
            piecesWanted.pop_front();
            if (Block* block = blockAt(offset))
                queueBlock(block);
            else
                hashState = HashFailed;
            continue;
        }
        if (piecesOut.size() >= size_t(VfsCopyJob::PieceSlots))
            break;
        int slot = -1;
        for (int i = 0; i < VfsCopyJob::PieceSlots && slot < 0; ++i) {
            const bool asked = std::any_of(piecesOut.begin(), piecesOut.end(),
                                           [i](const DigestRequest& r) { return r.slot == i; });
            if (!asked && !isOut(&records->sourcePieces[i])
                && !isOut(&records->destinationPieces[i]))
                slot = i;
        }
        if (slot < 0)
            break;
        const int sides[2] = {SourceSide, DestinationSide};
        for (int side : sides) {
            VfsHashFileJob& hash = side == SourceSide ? records->sourcePieces[slot]
                                                       : records->destinationPieces[slot];
            hash.flags = 0x01;
            hash.handle = side == SourceSide ? sourceHandle : destinationHandle;
            hash.count = VfsCopyJob::PiecesPerBlock;
            hash.blockSize = VfsCopyJob::PieceSize;
            hash.offset = offset;
            hash.digestsReceived = 0;
            hash.digestBytes = 0;
            if (!send(side, &hash, &VfsClient::hashFile, __LINE__))
                return;
        }
        piecesWanted.pop_front();
        piecesOut.push_back(DigestRequest{slot, offset});
    }
}

void VfsCopyJobPrivate::notePieces(quint64 moved)
{
    if (moved * 2 <= VfsCopyJob::BlockSize) {
        piecesInVain = 0;
        return;
    }
    if (++piecesInVain >= VfsCopyJob::PiecesInVain) {
        piecesInVain = 0;
        piecesSkipped = VfsCopyJob::PiecesRest;
    }
}

void VfsCopyJobPrivate::comparePieces(const VfsHashFileJob& source,
                                      const VfsHashFileJob& destination, quint64 offset)
{
    Block* block = blockAt(offset);
    if (!block || block->offset != offset || block->ranges != 0 || block->readDone) {
        hashState = HashFailed;
        return;
    }
    const int pieces = VfsCopyJob::PiecesPerBlock;
    auto answered = [](const VfsHashFileJob& hash) {
        return hash.jobStatus == VfsClientJob::JobFinished
            && (hash.status == FSO_STATUS_OK || hash.status == FSO_STATUS_END_OF_FILE);
    };
    // The block lies whole in both files, so each side owes every piece;
    // with less (a side changed, a request failed) the block moves whole,
    // and what is read is checked as for any block.
    if (!answered(source) || !answered(destination) || source.digestsReceived != pieces
        || source.digestBytes != quint32(pieces * DigestBytes)
        || destination.digestsReceived != pieces
        || destination.digestBytes != quint32(pieces * DigestBytes)) {
        Logger::log(Logger::VMG2, "pieces of block %llu unusable, status %u/%u, digests %u/%u",
                    static_cast<unsigned long long>(offset), unsigned(source.status),
                    unsigned(destination.status), unsigned(source.digestsReceived),
                    unsigned(destination.digestsReceived));
        notePieces(VfsCopyJob::BlockSize);
        queueBlock(block);
        return;
    }
    int ranges = 0;
    quint64 moved = 0;
    for (int i = 0; i < pieces;) {
        auto same = [&](int at) {
            return std::memcmp(source.digests + at * DigestBytes,
                               destination.digests + at * DigestBytes, DigestBytes)
                == 0;
        };
        if (same(i)) {
            ++i;
            continue;
        }
        int end = i + 1;
        while (end < pieces && !same(end))
            ++end;
        const quint32 size = quint32(end - i) * VfsCopyJob::PieceSize;
        chunks.push_back(Chunk{offset + quint64(i) * VfsCopyJob::PieceSize, size});
        moved += size;
        ++ranges;
        i = end;
    }
    if (ranges == 0) {
        // The pieces agree where the blocks did not: one side changed
        // between the two. The block moves whole.
        notePieces(VfsCopyJob::BlockSize);
        queueBlock(block);
        return;
    }
    notePieces(moved);
    block->ranges = ranges;
    // What the equal pieces hold is in place already.
    addCopied(VfsCopyJob::BlockSize - moved);
    Logger::log(Logger::VMG2, "block %llu differs in %d ranges, %llu bytes",
                static_cast<unsigned long long>(offset), ranges,
                static_cast<unsigned long long>(moved));
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
        canGrow = hashState == HashAsking && !digestsOut.empty();
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
    // Limits are set before the job starts.
    for (int i = 0; i < limits.transfers; ++i) {
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
            const quint32 length = read.length;
            const quint64 blockEnd = block ? block->offset + VfsCopyJob::BlockSize : 0;
            if (!block || block->ranges <= 0 || length > read.size
                || read.offset + read.size > blockEnd
                || (length == 0 && read.status == FSO_STATUS_OK)) {
                readFailed = true;
                return;
            }
            if (length > 0) {
                writeQueue.push_back(QueuedWrite{
                    read.offset, QByteArray(reinterpret_cast<const char*>(read.data), int(length))});
                ++block->writes;
                block->read += length;
            }
            if (read.status == FSO_STATUS_END_OF_FILE) {
                // Only the last block may end early: otherwise the source
                // shrank since its digests were taken.
                if (!block->last && read.offset + length < blockEnd) {
                    Logger::log(Logger::VMG2, "source ended at %llu, before its last block",
                                static_cast<unsigned long long>(read.offset + length));
                    sourceMoved = true;
                    return;
                }
                --block->ranges;
            } else if (length >= read.size) {
                --block->ranges;
            } else {
                // A short read: the rest of the range comes next, no hole is left.
                chunks.push_front(Chunk{read.offset + length, read.size - length});
            }
            block->readDone = block->ranges == 0;
            if (block->readDone && block->last)
                sourceEnd = block->offset + block->read;
            schedule(VfsJob::ActionStep, __LINE__);
        }
        if (!issued && !chunks.empty() && writeQueue.size() <= size_t(limits.transfers)) {
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
    // Limits are set before the job starts.
    for (int i = 0; i < limits.transfers; ++i) {
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

// --- closing verified files -------------------------------------------------------

VfsCloseFileJob* VfsCopyJobPrivate::freeCloseRecord(const VfsCloseFileJob* taken)
{
    for (const auto& record : records->closes) {
        VfsCloseFileJob* job = record.get();
        if (job == taken || isOut(job))
            continue;
        const bool held = std::any_of(closing.begin(), closing.end(), [job](const ClosingFile& f) {
            return f.close[0] == job || f.close[1] == job;
        });
        if (!held) {
            back.remove(job);
            return job;
        }
    }
    records->closes.emplace_back(new VfsCloseFileJob());
    return records->closes.back().get();
}

void VfsCopyJobPrivate::closeInBackground()
{
    const quint16 source = sourceHandle, destination = destinationHandle;
    sourceHandle = destinationHandle = 0;
    fileVerified = false;
    sourceMoved = false;
    closeAside(SettlingFile{current, writePath, finalPath, fileCounted}, source, destination);
    if (jobState == Failed)
        return;
    setJobState(NextItem, __LINE__);
    schedule(VfsJob::ActionStep, __LINE__);
}

void VfsCopyJobPrivate::closeAside(const SettlingFile& settled, quint16 source, quint16 destination)
{
    ClosingFile file;
    file.file = settled;
    const quint16 handles[2] = {source, destination};
    for (int side = SourceSide; side <= DestinationSide; ++side) {
        VfsCloseFileJob* close = freeCloseRecord(file.close[SourceSide]);
        close->flags = 0;
        close->handle = handles[side];
        close->jobStatus = 0;
        file.close[side] = close;
    }
    closing.push_back(file);
    for (int side = SourceSide; side <= DestinationSide; ++side) {
        Logger::log(Logger::VMG2, "close %s file handle %u", side == SourceSide ? "read" : "write",
                    unsigned(file.close[side]->handle));
        if (!send(side, file.close[side], &VfsClient::closeFile, __LINE__))
            return;
    }
}

void VfsCopyJobPrivate::closeReturned(const VfsCloseFileJob* job)
{
    for (size_t i = 0; i < closing.size(); ++i) {
        ClosingFile& file = closing[i];
        const int side = file.close[SourceSide] == job ? SourceSide
            : file.close[DestinationSide] == job     ? DestinationSide
                                                     : -1;
        if (side < 0)
            continue;
        if (!succeeded(*job)) {
            const QString path = side == SourceSide ? file.file.item.item.path : file.file.writePath;
            Logger::log(Logger::VMG2, "failed to close %s file handle %u",
                        side == SourceSide ? "read" : "write", unsigned(job->handle));
            // The try fails; the file is found verified where it was
            // written when the job starts over.
            closing.erase(closing.begin() + std::ptrdiff_t(i));
            failRequest(side, path, *job,
                        side == SourceSide ? "failed to close read file" : "failed to close write file",
                        __LINE__);
            return;
        }
        Logger::log(Logger::VMG2, "\tclose %s file handle %u SUCCESS",
                    side == SourceSide ? "read" : "write", unsigned(job->handle));
        file.back[side] = true;
        if (file.back[SourceSide] && file.back[DestinationSide]) {
            (settlingGroup() ? settlingNext : settling).push_back(std::move(file.file));
            closing.erase(closing.begin() + std::ptrdiff_t(i));
            if (closing.empty() && waitingForCloses && jobState == NextItem && !abortRequested) {
                waitingForCloses = false;
                schedule(VfsJob::ActionStep, __LINE__);
            }
        }
        return;
    }
}
