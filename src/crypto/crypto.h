#pragma once

#include <atomic>
#include <cstdint>

// Sealing and opening of the datagrams exchanged between peers, the key
// generators, the signature of invitations and the invitation key derived
// from a password. Thin layers over libsodium (and libcrypto's faster
// ChaCha20-Poly1305 for session datagrams); failures are small result
// codes, nothing throws. libsodium must be initialised (by the Crypto object
// or sodium_init) before the first call.
//
// Session datagram, L = plaintext length + 30:
//   0  2   L little-endian, byte 0 XOR byte 5, byte 1 XOR byte 8
//   2  12  nonce; byte 4 holds byte 11 XOR key id
//   14 ... ChaCha20-Poly1305 IETF ciphertext and 16-byte tag (associated
//          data: the key id byte)
// Public-key datagram, L = plaintext length + 74:
//   0  2   L, masked as above
//   2  24  random nonce with byte 4 equal to byte 11 (key id 0)
//   26 32  sender's public key XOR a subkey derived from the recipient's
//          public key and the nonce
//   58 ... crypto_box_easy output (16-byte authenticator and ciphertext)
namespace crypto {

// 10 to 127 name a session key, 0 marks a public-key datagram, all other
// values are invalid.
using KeyId = std::uint8_t;

constexpr KeyId MsgPublicKeyId = 0;
constexpr KeyId MinSessionKeyId = 10;
constexpr KeyId MaxSessionKeyId = 127;

constexpr unsigned SessionKeyBytes = 32;
constexpr unsigned PublicKeyBytes = 32;
constexpr unsigned SecretKeyBytes = 32;
constexpr unsigned SignSecretKeyBytes = 64;
constexpr unsigned SignatureBytes = 64;

constexpr unsigned SessionOverhead = 30;
constexpr unsigned PublicKeyOverhead = 74;
constexpr unsigned MaxDatagramBytes = 65535;
constexpr unsigned MaxSessionMessageBytes = MaxDatagramBytes - SessionOverhead;   // 65505
constexpr unsigned MaxPublicKeyMessageBytes = MaxDatagramBytes - PublicKeyOverhead; // 65461

// Bytes of the session nonce that carry the process-wide message counter:
// all twelve except the one derived from the key id.
constexpr unsigned MessageCounterBytes = 11;

enum EncryptMsgResult {
    EncryptMsgOk = 0,
    EncryptMsgBufferTooSmall = 1, // output buffer smaller than the sealed datagram
    EncryptMsgInvalidKeyId = 2,   // key id outside 10 to 127
    EncryptMsgLibraryFailed = 3,
    EncryptMsgTooLong = 4,        // the datagram would exceed 65535 bytes
};

enum CheckEncryptedMsgResult {
    CheckMsgOk = 0,            // a whole datagram is present
    CheckMsgIncomplete = 1,    // more bytes are needed
    CheckMsgInvalidLength = 2, // stated length below the smallest datagram of its kind
    CheckMsgInvalidKeyId = 3,
};

enum DecryptMsgResult {
    DecryptMsgOk = 0,
    DecryptMsgNotPublicKey = 1,   // decryptMessagePKI: key id is not 0
    DecryptMsgFailed = 2,         // malformed, forged or not for this key
    DecryptMsgBufferTooSmall = 3, // decryptMessagePKI: output too small or datagram below 74 bytes
};

// Seals m with the session key named by keyId. On entry *clen is the
// capacity of c; on success it is the datagram length mlen + 30. Nothing is
// written unless the capacity and key id are right. No two datagrams of one
// process share a nonce, and each process starts its counter at random.
int encryptMessage(KeyId keyId, const unsigned char* key, const unsigned char* m,
                   unsigned long long mlen, unsigned char* c, unsigned long long* clen);

// Opens a whole session datagram of clen bytes; m needs room for clen - 30
// bytes. Any change to any byte of the datagram, its length field included,
// makes it fail with 2.
int decryptMessage(const unsigned char* key, const unsigned char* c, unsigned long long clen,
                   unsigned char* m, unsigned long long* mlen);

// Seals m for the holder of pkpeer; pk and sk are the sender's pair. *clen
// as for encryptMessage; the datagram is mlen + 74 bytes.
int encryptMessagePKI(const unsigned char* pk, const unsigned char* sk, const unsigned char* pkpeer,
                      const unsigned char* m, unsigned long long mlen, unsigned char* c,
                      unsigned long long* clen);

// Opens a public-key datagram with the recipient's own pair. On entry *mlen
// is the capacity of m; on success it is clen - 74, and senderPk (32 bytes,
// may be null) receives the sender's public key that authenticated the
// datagram, which the caller must match against the identity it claims.
int decryptMessagePKI(const unsigned char* pk, const unsigned char* sk, const unsigned char* c,
                      unsigned long long clen, unsigned char* m, unsigned long long* mlen,
                      unsigned char* senderPk);

// Looks at the header of the bytes held so far: key id to *keyId, the
// total length stated to *mlen (once at least 14 bytes, or 26 for key id 0,
// are present). Reads only bytes 0, 1, 4, 5, 8 and 11.
int checkEncryptedMessage(const unsigned char* c, unsigned long long clen, KeyId* keyId,
                          unsigned long long* mlen);

void generateSessionKey(unsigned char* key);
void generateKeyPair(unsigned char* pk, unsigned char* sk);

// Ed25519 detached signature (64 bytes) with the 64-byte secret key.
// Returns 0 on success, 1 on failure.
int signDetached(const unsigned char* sk, const unsigned char* m, unsigned long long mlen,
                 unsigned char* sig);

// 32-byte key from a password: Argon2id 1.3, one pass, 8192 bytes of memory
// and the program's fixed salt, so that every instance derives the same key.
// Returns 0 on success, 1 on failure.
int generateSessionKeyFromPassword(const char* password, unsigned long long passwordLength,
                                   unsigned char* key);

// Sets the message counter (MessageCounterBytes bytes, little-endian); for
// tests that need to see the counter cross a given value.
void setMessageCounterForTesting(const unsigned char* counter);

} // namespace crypto

// Initialises libsodium for the process and starts the message counter at a
// random value; the one instance lives with the connection manager.
class Crypto
{
public:
    Crypto();
    virtual ~Crypto();
    Crypto(const Crypto&) = delete;
    Crypto& operator=(const Crypto&) = delete;

    static Crypto* instance();
    bool isInitialised() const { return m_initResult >= 0; }

private:
    int m_initResult;
    static std::atomic<Crypto*> s_instance;
};
