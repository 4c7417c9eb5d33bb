#pragma once

#include "jobs/vfsjob.h"

#include <QString>

#include <memory>
#include <vector>

class IPeer;
class VfsDeleteJobPrivate;
struct VfsDeleteFileJob;
struct VfsListDirectoryJob;

// One path to delete on a peer.
struct VfsDeleteItem
{
    QString unused;   // not read by the job; the window keeps the item's name here
    QString path;
    quint64 size = 0;
    quint64 type = 0; // VfsCopyEntry::Type
};

// An item a cut left in place, and why (a text for the user).
struct VfsKeptItem
{
    QString path;
    QString reason;
};

// Deletes a list of paths on one peer, or moves them to the peer's trash
// (bit 0 of flags), one DELETE_FILE request at a time and from the last item
// of the list to the first. The first failing item ends the job with
// jobAborted(); items before it stay deleted, later ones are untouched.
// Each item deleted or trashed emits jobUpdated().
//
// When the peer has no trash for an item, the job emits
// trashFailedAskDelete() and waits: its owner either clears bit 0 of flags
// and calls process(0), which deletes that item and all later ones
// permanently, or calls abort() and then process(0).
//
// A cut (setCut) is the second half of a move by copy: the items are what
// the copy verified, and only those go. Files and links are deleted one by
// one; then each directory, deepest first, only when it is empty: the job
// lists it first and keeps it when it holds anything, and asks the server
// to remove it only when empty (a server that ignores that flag would
// remove a tree; the listing just before is what guards against it there).
// A file that arrived in a copied folder during the copy thus survives with
// every folder on its path. What a cut keeps, and why, is in keptItems();
// keeping is no failure: the job still finishes. Trash never applies to a
// cut.
//
// The job lives on the thread of its owner; the client's updates arrive
// queued.
class VfsDeleteJob : public VfsJob
{
    Q_OBJECT

public:
    enum Flag : quint32 {
        FlagTrash = 0x01,
    };

    explicit VfsDeleteJob(QObject* parent = nullptr);
    ~VfsDeleteJob() override;

    void setPeer(IPeer* peer);
    IPeer* peer() const;
    void setFlags(quint32 flags);
    quint32 flags() const;
    void setItems(const std::vector<VfsDeleteItem>& items);
    const std::vector<VfsDeleteItem>& items() const;
    // Items not deleted yet; the last one is the current item.
    const std::vector<VfsDeleteItem>& remainingItems() const;

    void setCut(bool cut);
    bool isCut() const;
    // The id of the copy request a cut finishes (VfsCopyDto::id); set
    // before the job is registered, read from any thread afterwards.
    void setRequestId(const QString& id);
    QString requestId() const;
    // What a cut kept so far, in the order it was met; from any thread.
    std::vector<VfsKeptItem> keptItems() const;

    // The reason a cut keeps a directory that holds what was not copied.
    static QString notEmptyReason();

signals:
    void trashFailedAskDelete();
    void keptItemsChanged();

public slots:
    void abort() override;
    void process(int action) override;
    void onDeleteFileJobUpdate(VfsDeleteFileJob* job);
    void onListDirectoryUpdate(VfsListDirectoryJob* job);

private:
    std::unique_ptr<VfsDeleteJobPrivate> d;
};
