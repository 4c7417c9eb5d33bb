// Arbitrary bytes as the Exec line of a desktop entry found on this machine.
// Whatever the expansion accepts names a program, passes the one file of a
// single-file code unchanged, and never hands a file list to a code that
// takes one file.
#include "desktop/desktopexec.h"

#include <QByteArray>
#include <QString>

#include <cstdint>
#include <cstdlib>

namespace {

void check(bool ok)
{
    if (!ok)
        std::abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const QString exec = QString::fromUtf8(reinterpret_cast<const char*>(data), int(size));
    const std::vector<QString> none;
    const std::vector<QString> one{QStringLiteral("/tmp/one file")};
    const std::vector<QString> two{QStringLiteral("/tmp/a"), QStringLiteral("/tmp/b")};
    for (const auto* files : {&none, &one, &two}) {
        QString program;
        QStringList arguments;
        const DesktopExec::Result r = DesktopExec::expand(exec, *files, QStringLiteral("N"), QStringLiteral("I"),
                                                          &program, &arguments);
        if (r == DesktopExec::Ok) {
            check(!program.isEmpty());
        } else {
            check(program.isEmpty() && arguments.isEmpty());
            check(r != DesktopExec::OneFileOnly || files->size() != 1);
            check(r != DesktopExec::NoFile || files->empty());
        }
    }
    return 0;
}
