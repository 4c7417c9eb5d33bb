#include "vfs/server/vfsaccesstest.h"

#include <unistd.h>

static_assert(VfsAccessTest::Execute == X_OK && VfsAccessTest::Write == W_OK
                  && VfsAccessTest::Read == R_OK,
              "access modes must match access()");

VfsAccessTest::VfsAccessTest() : m_function(&VfsAccessTest::systemTest) {}

VfsAccessTest::VfsAccessTest(Function function)
    : m_function(function ? std::move(function) : Function(&VfsAccessTest::systemTest))
{
}

bool VfsAccessTest::allows(const QByteArray& nativePath, int mode) const
{
    return m_function(nativePath, mode);
}

bool VfsAccessTest::systemTest(const QByteArray& nativePath, int mode)
{
    return ::access(nativePath.constData(), mode) == 0;
}
