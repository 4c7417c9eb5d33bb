#include "manager/connectionmanager.h"

#include "core/logger.h"

namespace {
ConnectionManager* s_instance = nullptr;
}

ConnectionManager::ConnectionManager(IDatabase* db, QObject* parent) : QObject(parent), m_db(db)
{
    s_instance = this;
}

ConnectionManager::~ConnectionManager()
{
    if (s_instance == this)
        s_instance = nullptr;
}

ConnectionManager* ConnectionManager::instance()
{
    return s_instance;
}

void ConnectionManager::start()
{
    Logger::log(Logger::NFO1, "connection manager started");
    emit started();
}
