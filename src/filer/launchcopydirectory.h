#pragma once

#include <QString>

// Where files of another machine are copied before an application opens
// them: a directory per peer inside a "velm" directory that only this user
// can enter. It lies under $XDG_RUNTIME_DIR when that is the user's own
// private directory, else under the temporary directory as
// "velm-<uid>". Each level is made with mode 0700 or, when it exists, taken
// only when it is a real directory (no link), owned by this user and closed
// to everyone else; otherwise nothing is made or written there.
class LaunchCopyDirectory
{
public:
    // The directory for the copies of that peer's files (made when missing),
    // or an empty text and *error (a text for the user) when no safe one can
    // be had. peerUuid must be a braced uuid.
    static QString forPeer(const QString& peerUuid, QString* error);

    // Whether path names a real directory (not a link) of this user that
    // nobody else may enter.
    static bool isPrivateDirectory(const QString& path);
};
