#include "crypto/sha1.h"

#include <openssl/evp.h>

#include <cstring>

namespace crypto {

namespace {

// Fetched once: an implicit fetch on every call costs a lookup each time.
const EVP_MD* sha1Method()
{
    static EVP_MD* const method = EVP_MD_fetch(nullptr, "SHA1", nullptr);
    return method;
}

} // namespace

bool sha1(const void* data, std::size_t len, unsigned char* out)
{
    unsigned int written = 0;
    const EVP_MD* method = sha1Method();
    if (method && (data || len == 0) && EVP_Digest(len ? data : "", len, out, &written, method, nullptr) == 1
        && written == Sha1Bytes)
        return true;
    std::memset(out, 0, Sha1Bytes);
    return false;
}

QByteArray sha1(const QByteArray& data)
{
    QByteArray digest(int(Sha1Bytes), Qt::Uninitialized);
    if (!sha1(data.constData(), std::size_t(data.size()), reinterpret_cast<unsigned char*>(digest.data())))
        return QByteArray();
    return digest;
}

} // namespace crypto
