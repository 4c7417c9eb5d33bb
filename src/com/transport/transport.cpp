#include "com/transport/transport.h"

Transport::Transport(const TransportDto& dto, QObject* parent)
    : QObject(parent)
    , m_dto(dto)
{
    static const int registered = [] {
        qRegisterMetaType<TransportDto>("TransportDto");
        qRegisterMetaType<crypto::KeyId>("crypto::KeyId");
        qRegisterMetaType<size_t>("size_t");
        return 0;
    }();
    Q_UNUSED(registered)
}

Transport::~Transport() = default;

bool Transport::receivedWithin(qint64 windowMs) const
{
    return m_lastRx.isValid() && m_lastRx.elapsed() < windowMs;
}
