#include "databasesqlite.h"

#include <QFile>

class DatabaseSqlitePrivate
{
public:
    QString path;
};

DatabaseSqlite::DatabaseSqlite(const QString& path, QObject* parent)
    : IDatabase(parent), d(new DatabaseSqlitePrivate)
{
    d->path = path;
    init();
}

DatabaseSqlite::~DatabaseSqlite() = default;

bool DatabaseSqlite::init()
{
    QFile file(d->path);
    return file.open(QIODevice::ReadWrite);
}
