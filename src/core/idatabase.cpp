#include "core/idatabase.h"

#include "core/transportfilter.h"

#include <mutex>

IDatabase::IDatabase(QObject* parent) : QObject(parent)
{
    registerMetaTypes();
}

IDatabase::~IDatabase() = default;

void IDatabase::registerMetaTypes()
{
    static std::once_flag once;
    std::call_once(once, [] {
        qRegisterMetaType<Uuid>("Uuid");
        qRegisterMetaType<PeerDto>("PeerDto");
        qRegisterMetaType<PeerAttributeDto>("PeerAttributeDto");
        qRegisterMetaType<PeerAclDto>("PeerAclDto");
        qRegisterMetaType<TransportDto>("TransportDto");
        qRegisterMetaType<CryptoKeyDto>("CryptoKeyDto");
        qRegisterMetaType<InvitationDto>("InvitationDto");
        qRegisterMetaType<VSectorDto>("VSectorDto");
        qRegisterMetaType<VNodeDto>("VNodeDto");
        qRegisterMetaType<ImageCacheDto>("ImageCacheDto");
        qRegisterMetaType<TransportFilter>("TransportFilter");
        // Sequential containers get their iterable converters registered
        // along with them.
        qRegisterMetaType<std::vector<TransportDto>>("std::vector<TransportDto>");
        qRegisterMetaType<std::vector<quint8>>("std::vector<quint8>");
    });
}
