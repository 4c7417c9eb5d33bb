#pragma once

#include "core/peerdto.h"

#include <QObject>

class IDatabase;
class IPeer;

// Knows how to build the peer objects of one peer type and how to refresh
// one from the database.
class IPeerLoader : public QObject
{
    Q_OBJECT
public:
    explicit IPeerLoader(QObject* parent = nullptr) : QObject(parent) {}
    ~IPeerLoader() override = default;

    // The peer type served ("velm").
    virtual QString typeName() const = 0;
    // Builds the peer object of a stored peer; never null.
    virtual IPeer* loadPeer(IDatabase* db, const PeerDto& dto) = 0;
    // Applies the whole stored state of the peer again.
    virtual void updatePeer(IDatabase* db, IPeer* peer) = 0;
    // Called once the loader is registered and its stored peers replayed.
    virtual void loaderAdded(IDatabase* db) = 0;
};
