#pragma once

#include "idatabase.h"

#include <QScopedPointer>

class DatabaseSqlitePrivate;

// IDatabase on an SQLite file, one connection per thread.
class DatabaseSqlite : public IDatabase
{
    Q_OBJECT
public:
    DatabaseSqlite(const QString& path, QObject* parent = nullptr);
    ~DatabaseSqlite() override;

    bool init() override;

private:
    QScopedPointer<DatabaseSqlitePrivate> d;
};
