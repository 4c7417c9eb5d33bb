#include "jobs/vfsrequestrecord.h"

QObject* vfsClientGuard(VfsClient* client)
{
    auto* guard = new QObject;
    guard->moveToThread(client->thread());
    QObject::connect(client, &QObject::destroyed, guard, [guard] { delete guard; });
    return guard;
}
