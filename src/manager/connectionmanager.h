#pragma once

#include <QObject>

class IDatabase;

// Facade of the network side. Created on the main thread, moved to the io
// thread; start() builds the network objects there.
class ConnectionManager : public QObject
{
    Q_OBJECT
public:
    explicit ConnectionManager(IDatabase* db, QObject* parent = nullptr);
    ~ConnectionManager() override;

    static ConnectionManager* instance();

public slots:
    void start();

signals:
    void started();

private:
    IDatabase* m_db;
};
