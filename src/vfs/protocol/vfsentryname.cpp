#include "vfs/protocol/vfsentryname.h"

bool isSafeEntryName(const QByteArray& name)
{
    if (name.isEmpty() || name == "." || name == "..")
        return false;
    for (const char c : name) {
        if (c == '/' || c == '\\' || c == '\0')
            return false;
    }
    return true;
}
