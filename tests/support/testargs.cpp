#include "support/testargs.h"

TestArgs::TestArgs(const QStringList& arguments)
{
    for (const QString& arg : arguments)
        m_storage.push_back(arg.toLocal8Bit());
    for (QByteArray& arg : m_storage)
        m_pointers.push_back(arg.data());
    m_pointers.push_back(nullptr);
    m_argc = int(m_storage.size());
}
