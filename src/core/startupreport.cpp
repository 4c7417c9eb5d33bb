#include "core/startupreport.h"

#include <cstdio>

void reportStartupProblem(const QString& text)
{
    const QByteArray line = "velm: " + text.toLocal8Bit() + '\n';
    std::fwrite(line.constData(), 1, std::size_t(line.size()), stderr);
    std::fflush(stderr);
}

QString databaseProblemText(const QString& path, const QString& cause)
{
    return QStringLiteral("cannot use the database %1: %2; the file is left as it is").arg(path, cause);
}
