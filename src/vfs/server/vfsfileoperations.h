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

    // The calls below that take noLinks are for paths a peer is confined by:
    // such a path has had every symbolic link resolved, up to its last
    // component, and each component on the way is now opened without
    // following a link. A name that a local user turned into a link since
    // the path was resolved then fails the call instead of leading out of
    // the place that was checked. Without noLinks the directories on the way
    // are looked up as the system does.

    // Opens the directory that holds path (absolute, normalised) for the
    // *at() calls (O_PATH) and gives path's last component in name ("." for
    // "/"); -1 with errno on failure.
    static int openParent(const QByteArray& path, bool noLinks, QByteArray* name);

    // open(2) of a file; with noLinks the last component is not followed either.
    static int openFile(const QByteArray& path, int flags, bool noLinks);

    // Removes a file, a link (itself) or a directory with everything below
    // it, never following a link and never leaving its file system. Below
    // the path itself, every directory is entered by descriptor, so one that
    // becomes a link during the walk is never walked through.
    static bool removeTree(const QByteArray& nativePath, bool noLinks = false);

    // Removes a file, a link (itself) or a directory only when it is empty:
    // never anything below the path. A directory that holds anything stays,
    // with errno ENOTEMPTY (or EEXIST, as some file systems say it).
    static bool removeIfEmpty(const QByteArray& nativePath, bool noLinks = false);

    // rename(2): atomic, replacing an existing destination only when
    // noReplace is false (and then only as rename(2) allows: a directory
    // replaces only an empty one). CrossDevice when a copy is needed.
    static Result rename(const QByteArray& source, const QByteArray& destination, bool noReplace,
                         bool noLinks = false);

    // mkdir -p; with noLinks no directory on the way may be a link.
    static bool makePath(const QByteArray& path, bool noLinks);

    // A move between file systems: copies the source (a file, a link or a
    // directory tree, with modes and times) to a hidden temporary name beside
    // the destination, renames that into place as rename() would, and only
    // then removes the source. On failure the destination is left as it was.
    // Both trees are walked by descriptor, like removeTree(). A destination
    // inside the source is refused (EINVAL): the copy would copy itself.
    static Result moveAcrossDevices(const QByteArray& source, const QByteArray& destination,
                                    bool noReplace, bool noLinks = false);
};
