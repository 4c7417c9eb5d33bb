#pragma once

#include <QObject>

// The store of peers, keys, transports, shares, invitations, node-view layout
// and image cache. Implementations announce every change by signal.
class IDatabase : public QObject
{
    Q_OBJECT
public:
    explicit IDatabase(QObject* parent = nullptr) : QObject(parent) {}
    ~IDatabase() override = default;

    // Creates and migrates the schema; false when any step failed.
    virtual bool init() = 0;
};
