// Arbitrary bytes as the paths another machine's items carry in a drag onto
// the node view. Whatever is taken is one absolute path of one line.
#include "nodeview/nodeview.h"

#include <QByteArray>
#include <QCoreApplication>

#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv)
{
    static QCoreApplication app(*argc, *argv);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const QByteArray bytes(reinterpret_cast<const char*>(data), int(size));
    const QString path = NodeView::firstRemotePath(bytes);
    if (path.isEmpty())
        return 0;
    const bool absolute = path.startsWith(QLatin1Char('/')) || (path.size() > 2 && path.at(1) == QLatin1Char(':'));
    if (!absolute || path.contains(QLatin1Char('\n')) || path.contains(QChar(0)) || path.size() > 64 * 1024)
        std::abort();
    return 0;
}
