#pragma once

#include "vfs/client/vfsclient.h"

#include <QByteArray>

#include <memory>

struct VfsMirkCommand;
class VfsClientVelmPrivate;

// The file-system client over a peer link. Each operation queues its record
// with a fresh transaction id; the request frames leave through fsoTransmit()
// and the decoded replies come back through processIncomingCommand(), which
// matches them to their records by transaction id. Directory listings are
// paged (LIST_DIRECTORY, then QUERY_LIST_DIRECTORY until the listing is
// complete) and handed back only once, when the listing has ended. Requests
// without a reply end with status FSO_STATUS_TIMEOUT.
//
// The client lives on one thread (the io thread); replies and the job timer
// are handled there. The operations may be called from any thread.
class VfsClientVelm : public VfsClient
{
    Q_OBJECT
public:
    static constexpr int RequestTimeout = 15000; // ms
    static constexpr int TransferTimeout = 60000; // ms, reads and writes
    // Memory the entries of one listing may take (each counted as its record
    // plus its texts); a server that sends more fails the listing instead of
    // growing the client without bound.
    static constexpr qint64 MaxListingBytes = qint64(256) << 20;

    explicit VfsClientVelm(QObject* parent = nullptr);
    ~VfsClientVelm() override;

    // The version used to build OPEN_FILE requests and to decode replies.
    void setProtocolVersion(quint16 version);
    quint16 protocolVersion() const;

    // Milliseconds without a reply after which a request fails; tests
    // shorten them.
    void setTimeouts(int requestTimeout, int transferTimeout);

    // The limit of one listing's entries, in bytes; tests lower it.
    void setListingLimit(qint64 bytes);

    // The transaction id the next request gets; it counts up from a random
    // start. Tests set it to see it wrap.
    quint16 nextTrId() const;
    void setNextTrId(quint16 trId);

    // Records queued and not yet handed back, over all kinds.
    int pendingJobs() const;

    void listDirectory(VfsListDirectoryJob* job) override;
    void listDrives(VfsListDrivesJob* job) override;
    void move(VfsMoveJob* job) override;
    void openFile(VfsOpenFileJob* job) override;
    void closeFile(VfsCloseFileJob* job) override;
    void readFile(VfsReadFileJob* job) override;
    void writeFile(VfsWriteFileJob* job) override;
    void deleteFile(VfsDeleteFileJob* job) override;
    void hashFile(VfsHashFileJob* job) override;
    void makeDirectory(VfsMakeDirectoryJob* job) override;

signals:
    // After every reply record that reached processIncomingCommand().
    void processedCommand(VfsMirkCommand* cmd);
    // A request frame to send to the peer's server.
    void fsoTransmit(const QByteArray& frame);
    // Every request frame of one pass over the job tables has been handed
    // to fsoTransmit(); the link may flush now.
    void transmit();

public slots:
    // Every decoded reply and notification from the peer's server.
    void processIncomingCommand(VfsMirkCommand* cmd);
    void jobTimerFired();
    void onRxOngoing();
    // The link to the peer is gone: every record queued or waiting for its
    // reply fails at once with FSO_STATUS_TIMEOUT (the caller may tell it
    // from a real time-out by the peer's link state) instead of waiting for
    // its time-out, and is handed back through its update signal once, as
    // a time-out would be. A reply that still comes for one of them is
    // ignored. May be called from any thread.
    void failPending();
    // The client's thread is ending: stop and forget the queued listings,
    // opens, reads, writes and directory creations without handing them back.
    void onThreadFinished();

private:
    friend class VfsClientVelmPrivate;
    std::unique_ptr<VfsClientVelmPrivate> d;
};
