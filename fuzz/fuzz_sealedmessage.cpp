// Feeds arbitrary bytes to the header check and to both openers, cuts them
// as a stream the way the TCP transport does, and seals the input itself to
// check that a change of any one byte is always caught.
#include "crypto/crypto.h"

#include <sodium.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

void check(bool ok)
{
    if (!ok)
        std::abort();
}

struct Keys
{
    unsigned char session[crypto::SessionKeyBytes];
    unsigned char pkA[32], skA[32], pkB[32], skB[32];

    Keys()
    {
        check(sodium_init() >= 0);
        for (unsigned i = 0; i < sizeof session; ++i)
            session[i] = static_cast<unsigned char>(i * 3 + 1);
        unsigned char seed[crypto_box_SEEDBYTES];
        std::memset(seed, 0x11, sizeof seed);
        crypto_box_seed_keypair(pkA, skA, seed);
        std::memset(seed, 0x22, sizeof seed);
        crypto_box_seed_keypair(pkB, skB, seed);
    }
};

const Keys& keys()
{
    static const Keys k;
    return k;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const Keys& k = keys();
    std::vector<unsigned char> out(size + 16);

    // The header check on the whole input.
    crypto::KeyId id = 0;
    unsigned long long stated = 0;
    const int rc = crypto::checkEncryptedMessage(data, size, &id, &stated);
    if (rc == crypto::CheckMsgOk) {
        check(stated <= size);
        check(id == 0 ? stated >= 74 : (id >= 10 && id <= 127 && stated >= 30));
    }
    check(rc == 0 || rc == 1 || rc == 2 || rc == 3);

    // Both openers on the input as a datagram; forging is out of reach, but
    // nothing may be read or written out of bounds.
    unsigned long long mlen = 0;
    if (crypto::decryptMessage(k.session, data, size, out.data(), &mlen) == 0)
        check(mlen + 30 == size);
    const std::size_t capacity = size > 0 ? data[0] * 4 : 0;
    std::vector<unsigned char> pkiOut(capacity);
    unsigned char sender[32];
    mlen = capacity;
    if (crypto::decryptMessagePKI(k.pkB, k.skB, data, size, pkiOut.data(), &mlen, sender) == 0)
        check(mlen + 74 == size && mlen <= capacity);

    // Cut the input as a stream: every step advances, so this ends.
    std::size_t pos = 0;
    while (pos < size) {
        unsigned long long length = 0;
        if (crypto::checkEncryptedMessage(data + pos, size - pos, &id, &length) != crypto::CheckMsgOk)
            break;
        check(length >= 30 && length <= size - pos);
        pos += length;
    }

    // Seal the input and check that every single-byte change is caught.
    if (size <= 2048 && size > 0) {
        const std::size_t flipAt = data[0];
        const unsigned char flip = static_cast<unsigned char>(data[size - 1] | 1);
        std::vector<unsigned char> sealed(size + 74);
        unsigned long long clen = sealed.size();
        const crypto::KeyId keyId = static_cast<crypto::KeyId>(10 + data[size / 2] % 118);
        check(crypto::encryptMessage(keyId, k.session, data, size, sealed.data(), &clen) == 0);
        check(clen == size + 30);
        check(crypto::decryptMessage(k.session, sealed.data(), clen, out.data(), &mlen) == 0);
        check(mlen == size && std::memcmp(out.data(), data, size) == 0);
        sealed[flipAt % clen] ^= flip;
        check(crypto::decryptMessage(k.session, sealed.data(), clen, out.data(), &mlen) == crypto::DecryptMsgFailed);

        clen = sealed.size();
        check(crypto::encryptMessagePKI(k.pkA, k.skA, k.pkB, data, size, sealed.data(), &clen) == 0);
        std::vector<unsigned char> opened(size);
        mlen = size;
        check(crypto::decryptMessagePKI(k.pkB, k.skB, sealed.data(), clen, opened.data(), &mlen, sender) == 0);
        check(mlen == size && std::memcmp(opened.data(), data, size) == 0);
        check(std::memcmp(sender, k.pkA, 32) == 0);
        sealed[flipAt % clen] ^= flip;
        mlen = size;
        check(crypto::decryptMessagePKI(k.pkB, k.skB, sealed.data(), clen, opened.data(), &mlen, sender) != 0);
    }
    return 0;
}
