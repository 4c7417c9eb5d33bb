#include "crypto/sha1.h"

// The one-shot SHA-1 of libcrypto: the same processor-specific code as the
// EVP interface, without its per-thread state, which the pool's threads
// would otherwise leave behind when they end.
#define OPENSSL_SUPPRESS_DEPRECATED
#include <openssl/sha.h>

#include <cstring>

namespace crypto {

bool sha1(const void* data, std::size_t len, unsigned char* out)
{
    static const unsigned char nothing = 0;
    if (!data && len != 0) {
        std::memset(out, 0, Sha1Bytes);
        return false;
    }
    ::SHA1(len ? static_cast<const unsigned char*>(data) : &nothing, len, out);
    return true;
}

QByteArray sha1(const QByteArray& data)
{
    QByteArray digest(int(Sha1Bytes), Qt::Uninitialized);
    if (!sha1(data.constData(), std::size_t(data.size()), reinterpret_cast<unsigned char*>(digest.data())))
        return QByteArray();
    return digest;
}

} // namespace crypto
