#pragma once

#include <QByteArray>

// File-system operations of the file-system server that need more care
// than one system call: they never follow a symbolic link they meet on the
// way (a link is moved, copied or removed as itself), and a move never
// destroys an existing destination before the data is in place.
class VfsFileOperations
{
public:
    enum Result {
        Done,
        Exists,      // the destination exists and the caller forbade replacing it
        CrossDevice, // rename() cannot do it: source and destination are on different file systems
        Failed,      // errno tells why
    };

    // Removes a file, a link (itself) or a directory with everything below
    // it, never following a link and never leaving its file system.
    static bool removeTree(const QByteArray& nativePath);

    // rename(2): atomic, replacing an existing destination only when
    // noReplace is false (and then only as rename(2) allows: a directory
    // replaces only an empty one). CrossDevice when a copy is needed.
    static Result rename(const QByteArray& source, const QByteArray& destination, bool noReplace);

    // A move between file systems: copies the source (a file, a link or a
    // directory tree, with modes and times) to a hidden temporary name beside
    // the destination, renames that into place as rename() would, and only
    // then removes the source. On failure the destination is left as it was.
    static Result moveAcrossDevices(const QByteArray& source, const QByteArray& destination,
                                    bool noReplace);
};
