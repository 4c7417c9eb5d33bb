// Prints the throughput of block digests (SHA-1 over blocks of the copy's
// size) computed by libcrypto (crypto::sha1) and by QCryptographicHash on
// the same data, and their ratio.
#include "crypto/sha1.h"

#include <QCryptographicHash>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

// Hashes every block of data again and again for at least minSeconds;
// returns MB/s. sink keeps the work from being optimised away.
template <typename F>
double throughput(const std::vector<char>& data, int blockSize, double minSeconds, F hashBlock, unsigned& sink)
{
    long long bytes = 0;
    const auto start = Clock::now();
    double elapsed = 0;
    do {
        for (std::size_t off = 0; off < data.size(); off += std::size_t(blockSize)) {
            const int len = int(std::min<std::size_t>(std::size_t(blockSize), data.size() - off));
            sink += hashBlock(data.data() + off, len);
            bytes += len;
        }
        elapsed = std::chrono::duration<double>(Clock::now() - start).count();
    } while (elapsed < minSeconds);
    return double(bytes) / 1e6 / elapsed;
}

} // namespace

int main(int argc, char** argv)
{
    const int blockSize = argc > 1 ? std::atoi(argv[1]) : 64400;
    const double seconds = argc > 2 ? std::atof(argv[2]) : 2.0;
    std::vector<char> data(std::size_t(blockSize) * 256);
    std::mt19937 random(1);
    for (char& c : data)
        c = char(random());
    unsigned sink = 0;
    const double openssl = throughput(data, blockSize, seconds, [](const char* p, int len) {
        unsigned char out[crypto::Sha1Bytes];
        crypto::sha1(p, std::size_t(len), out);
        return unsigned(out[0]);
    }, sink);
    const double qt = throughput(data, blockSize, seconds, [](const char* p, int len) {
        const QByteArray d = QCryptographicHash::hash(QByteArray::fromRawData(p, len), QCryptographicHash::Sha1);
        return unsigned(uchar(d[0]));
    }, sink);
    std::printf("SHA-1 of %d-byte blocks: libcrypto %.0f MB/s, QCryptographicHash %.0f MB/s, ratio %.2f (%u)\n",
                blockSize, openssl, qt, openssl / qt, sink & 1u);
    return 0;
}
