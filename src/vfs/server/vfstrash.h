#pragma once

// Moves files to the desktop's trash for the file-system server. The server
// holds one as an interface so that tests can stand in for the desktop; the
// real one is VfsDesktopTrash.
class VfsTrash
{
public:
    enum Result {
        Trashed,
        PermissionDenied,
        NotSupported, // no trash on that file system
        NotFound,
        Failed,
    };

    VfsTrash() = default;
    virtual ~VfsTrash();
    VfsTrash(const VfsTrash&) = delete;
    VfsTrash& operator=(const VfsTrash&) = delete;

    // Trashes the entry name (one path component) of the directory open as
    // directoryFd (O_PATH is enough), the very entry the caller checked; a
    // symbolic link is trashed itself, not its target. nativePath is where
    // the entry is, in the file system's encoding, recorded so that it can
    // be restored. Called on the server's thread.
    virtual Result moveToTrash(int directoryFd, const char* name, const char* nativePath) = 0;
};
