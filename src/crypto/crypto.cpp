#include "crypto/crypto.h"

#include "core/logger.h"

#include <openssl/evp.h>
#include <sodium.h>

#include <cstring>
#include <memory>
#include <mutex>

static_assert(crypto_aead_chacha20poly1305_ietf_NPUBBYTES == 12, "session nonce is 12 bytes");
static_assert(crypto_aead_chacha20poly1305_ietf_KEYBYTES == crypto::SessionKeyBytes, "session key size");
static_assert(crypto_aead_chacha20poly1305_ietf_ABYTES == 16, "session tag size");
static_assert(crypto_box_NONCEBYTES == 24, "box nonce is 24 bytes");
static_assert(crypto_box_MACBYTES == 16, "box authenticator size");
static_assert(crypto_box_PUBLICKEYBYTES == crypto::PublicKeyBytes, "public key size");
static_assert(crypto_box_SECRETKEYBYTES == crypto::SecretKeyBytes, "secret key size");
static_assert(crypto_kdf_KEYBYTES == 32, "kdf master key size");
static_assert(crypto_sign_SECRETKEYBYTES == crypto::SignSecretKeyBytes, "signing key size");
static_assert(crypto_sign_BYTES == crypto::SignatureBytes, "signature size");
static_assert(crypto_pwhash_SALTBYTES == 16, "the fixed salt is 16 bytes");

namespace crypto {

namespace {

constexpr unsigned SessionNonceOffset = 2;
constexpr unsigned SessionNonceBytes = 12;
constexpr unsigned SessionCipherOffset = SessionNonceOffset + SessionNonceBytes; // 14
constexpr unsigned PkiNonceOffset = 2;
constexpr unsigned PkiNonceBytes = 24;
constexpr unsigned PkiSenderOffset = PkiNonceOffset + PkiNonceBytes; // 26
constexpr unsigned PkiBoxOffset = PkiSenderOffset + PublicKeyBytes;  // 58

// The salt of the password-derived invitation key. It is part of the wire
// format between instances: changing it breaks every invitation.
constexpr unsigned char PasswordSalt[16] = {
    0x9a, 0xf1, 0x6c, 0xb9, 0x3d, 0x70, 0xb1, 0x1e,
    0xce, 0x90, 0x74, 0x31, 0xa3, 0x1f, 0x08, 0xb8,
};

// The process-wide message counter. It fills every nonce byte except the
// one that carries the key id (nonce byte 2, datagram offset 4), so that two
// datagrams under one key never share a nonce, and it starts at a random
// value so that a restarted process does not repeat the nonces it used
// under a session key that the other side still holds.
struct MessageCounter
{
    std::mutex mutex;
    unsigned char value[MessageCounterBytes] = {};
    bool seeded = false;

    void reseed()
    {
        std::lock_guard<std::mutex> lock(mutex);
        randombytes_buf(value, sizeof value);
        seeded = true;
    }

    void set(const unsigned char* counter)
    {
        std::lock_guard<std::mutex> lock(mutex);
        std::memcpy(value, counter, sizeof value);
        seeded = true;
    }

    // Fills the 12 nonce bytes with the next counter value; nonce byte 2
    // is left for the key id.
    void next(unsigned char* nonce)
    {
        std::lock_guard<std::mutex> lock(mutex);
        if (!seeded) {
            // Used before any Crypto object: make sure the generator is ready.
            if (sodium_init() < 0)
                std::memset(value, 0, sizeof value);
            randombytes_buf(value, sizeof value);
            seeded = true;
        }
        sodium_increment(value, sizeof value);
        nonce[0] = value[0];
        nonce[1] = value[1];
        std::memcpy(nonce + 3, value + 2, MessageCounterBytes - 2);
    }
};

MessageCounter& messageCounter()
{
    static MessageCounter counter;
    return counter;
}

bool isSessionKeyId(unsigned keyId)
{
    return keyId >= MinSessionKeyId && keyId <= MaxSessionKeyId;
}

void writeLength(unsigned char* c, unsigned long long length)
{
    c[0] = static_cast<unsigned char>(length & 0xFF) ^ c[5];
    c[1] = static_cast<unsigned char>((length >> 8) & 0xFF) ^ c[8];
}

unsigned long long statedLength(const unsigned char* c)
{
    return static_cast<unsigned long long>(c[0] ^ c[5]) |
           static_cast<unsigned long long>(c[1] ^ c[8]) << 8;
}

// Subkey that masks the sender's public key: derived from the recipient's
// public key XOR the nonce repeated over its 32 bytes.
bool deriveMaskingSubkey(const unsigned char* recipientPk, const unsigned char* nonce,
                         unsigned char* subkey)
{
    unsigned char master[crypto_kdf_KEYBYTES];
    for (unsigned i = 0; i < sizeof master; ++i)
        master[i] = recipientPk[i] ^ nonce[i % PkiNonceBytes];
    return crypto_kdf_derive_from_key(subkey, PublicKeyBytes, 1, "pkisubk1", master) == 0;
}

// A Curve25519 public key is canonical when it is below 2^255 - 19.
bool isCanonicalPublicKey(const unsigned char* pk)
{
    if (pk[31] & 0x80)
        return false;
    if (pk[31] != 0x7F)
        return true;
    for (unsigned i = 30; i > 0; --i) {
        if (pk[i] != 0xFF)
            return true;
    }
    return pk[0] < 0xED;
}

// Session datagrams are sealed and opened with libcrypto's ChaCha20-Poly1305,
// which has vector code for this processor that libsodium lacks; the bytes
// are the same as those of crypto_aead_chacha20poly1305_ietf_*. Where
// libcrypto does not offer the cipher, libsodium does the work.
class SessionAead
{
public:
    // The context of this thread for one direction, or null without libcrypto.
    static EVP_CIPHER_CTX* context(bool sealing)
    {
        static EVP_CIPHER* const cipher = EVP_CIPHER_fetch(nullptr, "ChaCha20-Poly1305", nullptr);
        if (!cipher)
            return nullptr;
        thread_local Contexts contexts;
        Context& c = sealing ? contexts.seal : contexts.open;
        if (!c.ctx) {
            c.ctx.reset(EVP_CIPHER_CTX_new());
            if (!c.ctx || EVP_CipherInit_ex(c.ctx.get(), cipher, nullptr, nullptr, nullptr, sealing ? 1 : 0) != 1) {
                c.ctx.reset();
                return nullptr;
            }
        }
        return c.ctx.get();
    }

private:
    struct FreeContext
    {
        void operator()(EVP_CIPHER_CTX* ctx) const { EVP_CIPHER_CTX_free(ctx); }
    };
    struct Context
    {
        std::unique_ptr<EVP_CIPHER_CTX, FreeContext> ctx;
    };
    struct Contexts
    {
        Context seal;
        Context open;
    };
};

// c receives mlen bytes of ciphertext followed by the 16-byte tag.
bool sealSession(unsigned char* c, const unsigned char* m, unsigned long long mlen, KeyId keyId,
                 const unsigned char* nonce, const unsigned char* key)
{
    EVP_CIPHER_CTX* ctx = SessionAead::context(true);
    if (!ctx) {
        unsigned long long sealed = 0;
        return crypto_aead_chacha20poly1305_ietf_encrypt(c, &sealed, m, mlen, &keyId, 1, nullptr, nonce, key) == 0;
    }
    int len = 0;
    int last = 0;
    return EVP_CipherInit_ex(ctx, nullptr, nullptr, key, nonce, 1) == 1
        && EVP_CipherUpdate(ctx, nullptr, &len, &keyId, 1) == 1
        && (mlen == 0 || EVP_CipherUpdate(ctx, c, &len, m, int(mlen)) == 1)
        && EVP_CipherFinal_ex(ctx, c + mlen, &last) == 1
        && EVP_CIPHER_CTX_ctrl(ctx, EVP_CTRL_AEAD_GET_TAG, 16, c + mlen) == 1;
}

// Opens clen bytes of ciphertext and tag into m (clen - 16 bytes). On a
// false tag m holds no byte of the forged plaintext.
bool openSession(unsigned char* m, const unsigned char* c, unsigned long long clen, KeyId keyId,
                 const unsigned char* nonce, const unsigned char* key)
{
    EVP_CIPHER_CTX* ctx = SessionAead::context(false);
    if (!ctx) {
        unsigned long long opened = 0;
        return crypto_aead_chacha20poly1305_ietf_decrypt(m, &opened, nullptr, c, clen, &keyId, 1, nonce, key) == 0;
    }
    const unsigned long long mlen = clen - 16;
    unsigned char tag[16];
    std::memcpy(tag, c + mlen, sizeof tag);
    int len = 0;
    int last = 0;
    const bool ok = EVP_CipherInit_ex(ctx, nullptr, nullptr, key, nonce, 0) == 1
        && EVP_CipherUpdate(ctx, nullptr, &len, &keyId, 1) == 1
        && (mlen == 0 || EVP_CipherUpdate(ctx, m, &len, c, int(mlen)) == 1)
        && EVP_CIPHER_CTX_ctrl(ctx, EVP_CTRL_AEAD_SET_TAG, sizeof tag, tag) == 1
        && EVP_CipherFinal_ex(ctx, m + mlen, &last) == 1;
    if (!ok && mlen != 0)
        sodium_memzero(m, mlen);
    return ok;
}

} // namespace

void setMessageCounterForTesting(const unsigned char* counter)
{
    messageCounter().set(counter);
}

int encryptMessage(KeyId keyId, const unsigned char* key, const unsigned char* m,
                   unsigned long long mlen, unsigned char* c, unsigned long long* clen)
{
    const unsigned long long capacity = *clen;
    if (capacity < SessionOverhead || capacity - SessionOverhead < mlen)
        return EncryptMsgBufferTooSmall;
    if (!isSessionKeyId(keyId))
        return EncryptMsgInvalidKeyId;
    if (mlen > MaxSessionMessageBytes)
        return EncryptMsgTooLong;

    unsigned char* nonce = c + SessionNonceOffset;
    messageCounter().next(nonce);
    nonce[2] = nonce[9] ^ keyId;

    if (!sealSession(c + SessionCipherOffset, m, mlen, keyId, nonce, key))
        return EncryptMsgLibraryFailed;
    const unsigned long long length = mlen + SessionOverhead;
    writeLength(c, length);
    *clen = length;
    return EncryptMsgOk;
}

int decryptMessage(const unsigned char* key, const unsigned char* c, unsigned long long clen,
                   unsigned char* m, unsigned long long* mlen)
{
    if (clen < SessionOverhead || clen > MaxDatagramBytes)
        return DecryptMsgFailed;
    // The length field is not covered by the tag; a datagram whose header
    // disagrees with its size has been cut or altered.
    if (statedLength(c) != clen)
        return DecryptMsgFailed;
    const unsigned char keyId = c[4] ^ c[11];
    if (!isSessionKeyId(keyId))
        return DecryptMsgFailed;
    if (!openSession(m, c + SessionCipherOffset, clen - SessionCipherOffset, keyId, c + SessionNonceOffset, key))
        return DecryptMsgFailed;
    *mlen = clen - SessionOverhead;
    return DecryptMsgOk;
}

int encryptMessagePKI(const unsigned char* pk, const unsigned char* sk, const unsigned char* pkpeer,
                      const unsigned char* m, unsigned long long mlen, unsigned char* c,
                      unsigned long long* clen)
{
    const unsigned long long capacity = *clen;
    if (capacity < PublicKeyOverhead || capacity - PublicKeyOverhead < mlen)
        return EncryptMsgBufferTooSmall;
    if (mlen > MaxPublicKeyMessageBytes)
        return EncryptMsgTooLong;

    unsigned char* nonce = c + PkiNonceOffset;
    randombytes_buf(nonce, PkiNonceBytes);
    nonce[2] = nonce[9];

    unsigned char subkey[PublicKeyBytes];
    if (!deriveMaskingSubkey(pkpeer, nonce, subkey))
        return EncryptMsgLibraryFailed;
    for (unsigned i = 0; i < PublicKeyBytes; ++i)
        c[PkiSenderOffset + i] = pk[i] ^ subkey[i];
    if (crypto_box_easy(c + PkiBoxOffset, m, mlen, nonce, pkpeer, sk) != 0)
        return EncryptMsgLibraryFailed;
    const unsigned long long length = mlen + PublicKeyOverhead;
    writeLength(c, length);
    *clen = length;
    return EncryptMsgOk;
}

int decryptMessagePKI(const unsigned char* pk, const unsigned char* sk, const unsigned char* c,
                      unsigned long long clen, unsigned char* m, unsigned long long* mlen,
                      unsigned char* senderPk)
{
    if (clen < PublicKeyOverhead || *mlen < clen - PublicKeyOverhead)
        return DecryptMsgBufferTooSmall;
    if (c[4] != c[11])
        return DecryptMsgNotPublicKey;
    if (clen > MaxDatagramBytes || statedLength(c) != clen)
        return DecryptMsgFailed;

    const unsigned char* nonce = c + PkiNonceOffset;
    unsigned char subkey[PublicKeyBytes];
    if (!deriveMaskingSubkey(pk, nonce, subkey))
        return DecryptMsgFailed;
    unsigned char sender[PublicKeyBytes];
    for (unsigned i = 0; i < PublicKeyBytes; ++i)
        sender[i] = c[PkiSenderOffset + i] ^ subkey[i];
    // X25519 ignores the top bit of a public key and reduces it modulo
    // 2^255 - 19, so several encodings name one key. Only the canonical one
    // is accepted: otherwise a changed bit would still open the box and
    // report a sender key that differs from the one that sealed it.
    if (!isCanonicalPublicKey(sender))
        return DecryptMsgFailed;
    if (crypto_box_open_easy(m, c + PkiBoxOffset, clen - PkiBoxOffset, nonce, sender, sk) != 0)
        return DecryptMsgFailed;
    *mlen = clen - PublicKeyOverhead;
    if (senderPk)
        std::memcpy(senderPk, sender, PublicKeyBytes);
    return DecryptMsgOk;
}

int checkEncryptedMessage(const unsigned char* c, unsigned long long clen, KeyId* keyId,
                          unsigned long long* mlen)
{
    if (clen < SessionCipherOffset)
        return CheckMsgIncomplete;
    const KeyId id = c[4] ^ c[11];
    *keyId = id;
    if (id != MsgPublicKeyId && !isSessionKeyId(id))
        return CheckMsgInvalidKeyId;
    if (id == MsgPublicKeyId && clen < PkiSenderOffset)
        return CheckMsgIncomplete;
    const unsigned long long length = statedLength(c);
    *mlen = length;
    // A length below the smallest datagram can never be opened, and a
    // stream cut by it would lose its place.
    if (length < (id == MsgPublicKeyId ? PublicKeyOverhead : SessionOverhead))
        return CheckMsgInvalidLength;
    if (clen < length)
        return CheckMsgIncomplete;
    return CheckMsgOk;
}

void generateSessionKey(unsigned char* key)
{
    crypto_aead_chacha20poly1305_ietf_keygen(key);
}

void generateKeyPair(unsigned char* pk, unsigned char* sk)
{
    crypto_box_keypair(pk, sk);
}

int signDetached(const unsigned char* sk, const unsigned char* m, unsigned long long mlen,
                 unsigned char* sig)
{
    return crypto_sign_detached(sig, nullptr, m, mlen, sk) == 0 ? 0 : 1;
}

int generateSessionKeyFromPassword(const char* password, unsigned long long passwordLength,
                                   unsigned char* key)
{
    if (crypto_pwhash_saltbytes() != sizeof PasswordSalt)
        return 1;
    if (!password) {
        if (passwordLength != 0)
            return 1;
        password = "";
    }
    const int rc = crypto_pwhash(key, SessionKeyBytes, password, passwordLength, PasswordSalt,
                                 crypto_pwhash_argon2id_OPSLIMIT_MIN,
                                 crypto_pwhash_argon2id_MEMLIMIT_MIN,
                                 crypto_pwhash_ALG_ARGON2ID13);
    return rc == 0 ? 0 : 1;
}

void reseedMessageCounter()
{
    messageCounter().reseed();
}

} // namespace crypto

std::atomic<Crypto*> Crypto::s_instance{nullptr};

Crypto::Crypto()
    : m_initResult(sodium_init())
{
    if (m_initResult < 0)
        Logger::log(Logger::ERR1, "sodium_init() failed, ret: %d", m_initResult);
    else
        crypto::reseedMessageCounter();
    s_instance.store(this);
}

Crypto::~Crypto()
{
    Crypto* self = this;
    s_instance.compare_exchange_strong(self, nullptr);
}

Crypto* Crypto::instance()
{
    return s_instance.load();
}
