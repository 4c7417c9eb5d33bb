// Prints how fast the listing of an archive ("7z l -ba -slt" output) is read
// and checked, for listings of 1,000 to 200,000 entries in nested folders,
// with tar-style link lines: entries per second and MB per second.
#include "archive/archivelisting.h"

#include <chrono>
#include <cstdio>

int main()
{
    using Clock = std::chrono::steady_clock;
    std::printf("%10s %12s %14s %10s\n", "entries", "bytes", "entries/s", "MB/s");
    for (int count : {1000, 10000, 50000, 200000}) {
        QByteArray output;
        for (int i = 0; i < count; ++i) {
            output += "Path = top/dir" + QByteArray::number(i % 97) + "/sub" + QByteArray::number(i % 13) + "/file-"
                      + QByteArray::number(i) + ".txt\nFolder = -\nSize = 1234\nPacked Size = 0\n"
                      "Modified = 2026-12-11 04:07:29\nMode = -rw-r--r--\nUser = root\nGroup = root\n"
                      "Symbolic Link = \nHard Link = \nCharacteristics = 0 GNU ASCII\n\n";
        }
        int rounds = 0;
        const auto start = Clock::now();
        double elapsed = 0;
        do {
            ArchiveListing listing;
            if (!listing.parse(output) || listing.topLevelCount() != 1)
                return 1;
            ++rounds;
            elapsed = std::chrono::duration<double>(Clock::now() - start).count();
        } while (elapsed < 1.0);
        const double perRound = elapsed / rounds;
        std::printf("%10d %12d %14.0f %10.1f\n", count, int(output.size()), count / perRound,
                    output.size() / 1e6 / perRound);
    }
    return 0;
}
