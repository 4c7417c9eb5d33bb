#pragma once

#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QSqlRecord>
#include <QStringList>
#include <QUuid>
#include <QVariant>

// A plain connection to a database file, beside the store under test: to
// build fixtures and to look at what the store wrote. Removed on destruction.
class RawDatabase
{
public:
    explicit RawDatabase(const QString& path)
        : m_name(QStringLiteral("raw-") + QUuid::createUuid().toString())
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), m_name);
        db.setDatabaseName(path);
        db.open();
    }
    ~RawDatabase()
    {
        {
            QSqlDatabase db = QSqlDatabase::database(m_name, false);
            db.close();
        }
        QSqlDatabase::removeDatabase(m_name);
    }
    RawDatabase(const RawDatabase&) = delete;
    RawDatabase& operator=(const RawDatabase&) = delete;

    QSqlDatabase db() const { return QSqlDatabase::database(m_name, false); }

    // Runs statements; returns the first error text, empty on success.
    QString exec(const QStringList& statements) const
    {
        for (const QString& sql : statements) {
            QSqlQuery q(db());
            if (!q.exec(sql))
                return sql + QStringLiteral(": ") + q.lastError().text();
        }
        return QString();
    }

    // The first column of every row of a query, as text.
    QStringList column(const QString& sql) const
    {
        QStringList out;
        QSqlQuery q(db());
        if (!q.exec(sql))
            return {QStringLiteral("error: ") + q.lastError().text()};
        while (q.next())
            out << q.value(0).toString();
        return out;
    }

    QVariant value(const QString& sql) const
    {
        QSqlQuery q(db());
        if (!q.exec(sql) || !q.next())
            return QVariant();
        return q.value(0);
    }

    // The schema and every row of every table, as text, for comparing two
    // states of a file.
    QString dump() const
    {
        QString out;
        const QStringList tables = column(QStringLiteral(
            "SELECT name FROM sqlite_master WHERE type = 'table' ORDER BY name"));
        out += column(QStringLiteral("SELECT type || ' ' || name || ' ' || coalesce(sql, '') "
                                     "FROM sqlite_master ORDER BY name"))
                   .join(QLatin1Char('\n'));
        for (const QString& table : tables) {
            QSqlQuery q(db());
            q.exec(QStringLiteral("SELECT * FROM %1 ORDER BY 1, 2").arg(table));
            while (q.next()) {
                out += QLatin1Char('\n') + table + QLatin1Char(':');
                for (int i = 0; i < q.record().count(); ++i)
                    out += QLatin1Char('|') + q.value(i).toString();
            }
        }
        return out;
    }

private:
    QString m_name;
};
