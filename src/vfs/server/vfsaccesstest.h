#pragma once

#include <QByteArray>

#include <functional>

// Whether the serving process may read, write or enter a path, as the
// operating system's access() answers. The server asks it for the access
// bits of listing entries and before it lists a directory. Replaceable,
// because a process running as root is allowed everything and tests run so.
// Must be safe to call from any thread.
class VfsAccessTest
{
public:
    enum Mode { Execute = 1, Write = 2, Read = 4 }; // as X_OK, W_OK, R_OK; may be or-ed

    using Function = std::function<bool(const QByteArray& nativePath, int mode)>;

    // The operating system's test.
    VfsAccessTest();
    explicit VfsAccessTest(Function function);

    bool allows(const QByteArray& nativePath, int mode) const;

    static bool systemTest(const QByteArray& nativePath, int mode);

private:
    Function m_function;
};
