#pragma once

// Moves files to the desktop's trash for the file-system server. The server
// holds one as an interface so that tests can stand in for the desktop; the
// real one is VfsTrashGio. No Qt in this header: the GIO implementation
// includes it next to GLib, whose headers use "signals" as a name.
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

    // nativePath: the local path in the file system's encoding. A symbolic
    // link is trashed itself, not its target. Called on the server's thread.
    virtual Result moveToTrash(const char* nativePath) = 0;
};
