#include "core/databasetransaction.h"

#include "core/idatabase.h"

DatabaseTransaction::DatabaseTransaction(IDatabase* db)
    : m_db(db), m_active(db && db->beginTransaction())
{
}

DatabaseTransaction::~DatabaseTransaction()
{
    rollback();
}

bool DatabaseTransaction::isActive() const
{
    return m_active;
}

bool DatabaseTransaction::commit()
{
    if (!m_active)
        return false;
    m_active = false;
    return m_db->commitTransaction();
}

void DatabaseTransaction::rollback()
{
    if (!m_active)
        return;
    m_active = false;
    m_db->rollbackTransaction();
}
