#pragma once

#include "core/peeracldto.h"

#include <QByteArray>
#include <QString>

#include <vector>

// The one gate every path from a peer passes before the file-system server
// touches anything. check() turns the path of a request into the local path
// to work on, or refuses it.
//
// For a restricted peer (access mode 0) a path is admitted only when it lies
// inside a share granted to it, judged by whole path components:
// - the path must be valid UTF-8 without NUL bytes and absolute; repeated
//   separators and "." components are dropped, ".." components refuse it;
// - "%shares/{uuid}/..." is mapped onto that share's folder first and then
//   checked like any other path;
// - the share is looked up as findShare() does (an exact selector, else the
//   longest directory share that holds the path by whole components: "/a"
//   holds "/a/b" but not "/ab");
// - every symbolic link on the way is resolved, and the resolved location
//   must lie inside the resolved folder of that share. For a path that does
//   not exist yet the location is the resolved parent plus the new name, so a
//   dangling link cannot send a new file outside either. Requests that act on
//   a link itself (delete, move) resolve only the parent;
// - the share whose folder holds that resolved location must grant the
//   rights as well, so a link in a writable share cannot lead into a
//   read-only share nested in it.
// The local path handed back is the resolved one, so what is checked is what
// gets touched.
//
// For the own machine (access mode 1) the path is only validated and
// normalised; ".." is refused there too.
class VfsPathGuard
{
public:
    enum AccessMode : quint8 { Restricted = 0, Unrestricted = 1 };

    // Share flags.
    enum ShareFlag : quint32 {
        ShareRead = 1,
        ShareWrite = 2,
        ShareDirectory = 4, // the selector and everything below it
        ShareDrive = 8,
    };

    enum Option : quint32 {
        NeedRead = ShareRead,
        NeedWrite = ShareWrite,
        // Resolve a symbolic link in the last component too (open, list,
        // make directory). Without it the link itself is the target.
        FollowLastLink = 0x100,
        // "%shares" itself (the list of shares) is acceptable.
        AcceptSharesRoot = 0x200,
    };

    enum Verdict {
        Allowed,
        Malformed,    // not a usable path (own machine only; a peer gets NotPermitted)
        NotPermitted, // outside the shares, lacking the right, or ".."
    };

    struct Decision
    {
        Verdict verdict = NotPermitted;
        QString path;          // local path to work on (resolved for a restricted peer)
        QByteArray nativePath; // the same, as bytes for system calls
        QString lexicalPath;   // the normalised path as the peer spelled it, "%shares" mapped
        int share = -1;        // index of the share that admitted it (restricted mode)
        bool sharesRoot = false; // the path was "%shares" itself

        bool allowed() const { return verdict == Allowed; }
    };

    static const QString SharesRoot; // "%shares"

    VfsPathGuard() = default;
    VfsPathGuard(quint8 accessMode, std::vector<PeerAclDto> shares);

    quint8 accessMode() const { return m_accessMode; }
    const std::vector<PeerAclDto>& shares() const { return m_shares; }

    // The path of a request, as bytes from the wire. options: Option bits.
    Decision check(const QByteArray& wirePath, quint32 options) const;
    Decision check(const QString& path, quint32 options) const;

    // True when the local path (a link itself, not followed) is the folder of
    // a share or holds one; such a path is never deleted or moved away for a
    // restricted peer. Always false for the own machine.
    bool holdsShareFolder(const QString& localPath) const;

    // The share whose rights apply to a local path by text alone (entries of
    // a listing that was admitted as a whole); -1 when none.
    int shareOf(const QString& localPath) const;

    // Building blocks, public for tests.

    // Valid UTF-8 without NUL bytes.
    static bool isValidText(const QByteArray& bytes);
    // Absolute; repeated separators and "." dropped, no trailing separator
    // except for "/" itself. False for relative paths and for "..".
    static bool normalise(const QByteArray& path, QByteArray* out);
    // "%shares/{uuid}/rest" to the share's selector plus rest; empty when no
    // such share exists. Paths that do not begin with "%shares/" come back as
    // they are.
    static QByteArray mapSharesPath(const std::vector<PeerAclDto>& shares, const QByteArray& path);
    // The share that admits a normalised path: the first whose selector
    // equals it, else (unless exactOnly) the directory share with the longest
    // selector that holds it by whole components. -1 when none.
    static int findShare(const std::vector<PeerAclDto>& shares, const QByteArray& path,
                         bool exactOnly);
    // True when folder is path or one of its ancestors, by whole components.
    static bool contains(const QByteArray& folder, const QByteArray& path);
    // Resolves every symbolic link of an absolute, normalised path; the part
    // after the first component that does not exist is kept as it is. With
    // followLast false a link in the last component is not resolved. False
    // when a link loop, a missing link target followed by "..", or an
    // unreadable component stops the resolution.
    static bool resolve(const QByteArray& path, bool followLast, QByteArray* out);

private:
    // The share whose resolved folder holds a resolved location, chosen as
    // findShare() chooses; -1 when none.
    int shareOfResolved(const QByteArray& resolved) const;

    quint8 m_accessMode = Restricted;
    std::vector<PeerAclDto> m_shares;
};
