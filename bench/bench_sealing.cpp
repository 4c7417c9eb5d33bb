// Prints seal+open throughput of the session datagram functions next to the
// bare libsodium AEAD calls on the same data, and their ratio.
#include "crypto/crypto.h"

#include <sodium.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

double secondsSince(Clock::time_point start)
{
    return std::chrono::duration<double>(Clock::now() - start).count();
}

// Runs body until at least minSeconds have passed; returns calls per second.
template <typename F>
double rate(F body, double minSeconds)
{
    long long calls = 0;
    const auto start = Clock::now();
    double elapsed = 0;
    do {
        for (int i = 0; i < 64; ++i)
            body();
        calls += 64;
        elapsed = secondsSince(start);
    } while (elapsed < minSeconds);
    return double(calls) / elapsed;
}

} // namespace

int main(int argc, char** argv)
{
    if (sodium_init() < 0) {
        std::fprintf(stderr, "sodium_init failed\n");
        return 1;
    }
    const double minSeconds = argc > 1 ? std::atof(argv[1]) : 1.0;
    Crypto crypto;
    unsigned char key[crypto::SessionKeyBytes];
    crypto::generateSessionKey(key);

    std::printf("%-22s %14s %14s %8s\n", "plaintext bytes", "sealing MB/s", "libsodium MB/s", "ratio");
    for (std::size_t size : {std::size_t(1400), std::size_t(crypto::MaxSessionMessageBytes)}) {
        std::vector<unsigned char> m(size), back(size + 16), c(size + 64);
        randombytes_buf(m.data(), m.size());
        bool ok = true;

        const double ours = rate([&] {
            unsigned long long clen = c.size(), mlen = 0;
            ok &= crypto::encryptMessage(50, key, m.data(), m.size(), c.data(), &clen) == 0;
            ok &= crypto::decryptMessage(key, c.data(), clen, back.data(), &mlen) == 0;
        }, minSeconds);

        unsigned char nonce[12] = {};
        const unsigned char ad = 50;
        const double raw = rate([&] {
            unsigned long long clen = 0, mlen = 0;
            sodium_increment(nonce, sizeof nonce);
            crypto_aead_chacha20poly1305_ietf_encrypt(c.data() + 14, &clen, m.data(), m.size(), &ad, 1,
                                                      nullptr, nonce, key);
            ok &= crypto_aead_chacha20poly1305_ietf_decrypt(back.data(), &mlen, nullptr, c.data() + 14, clen,
                                                            &ad, 1, nonce, key) == 0;
        }, minSeconds);

        if (!ok || std::memcmp(back.data(), m.data(), size) != 0) {
            std::fprintf(stderr, "round trip failed for %zu bytes\n", size);
            return 1;
        }
        const double mb = double(size) / 1e6;
        std::printf("%-22zu %14.1f %14.1f %8.3f\n", size, ours * mb, raw * mb, ours / raw);
    }
    return 0;
}
