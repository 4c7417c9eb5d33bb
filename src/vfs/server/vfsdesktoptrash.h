#pragma once

#include "vfs/server/vfstrash.h"

#include <string>

// The desktop's trash as the freedesktop.org trash layout defines it, the
// layout file managers and GIO share: an entry goes to the user's own trash
// ($XDG_DATA_HOME/Trash, by default ~/.local/share/Trash) when it lies on
// the same file system, else to the trash at the top of its own file system
// ($topdir/.Trash/$uid when an administrator prepared a sticky .Trash there,
// else $topdir/.Trash-$uid). Each trashed entry gets an info file that
// records where it was and when it was trashed.
//
// Everything is done by descriptor: the entry is renamed out of the
// directory the caller opened, so a name that someone swaps for a symbolic
// link after the caller checked the path cannot send anything else to the
// trash. The top of the file system is found by walking up from that same
// directory.
class VfsDesktopTrash : public VfsTrash
{
public:
    Result moveToTrash(int directoryFd, const char* name, const char* nativePath) override;

    // The user's own trash folder: $XDG_DATA_HOME/Trash when that variable
    // holds an absolute path, else $HOME/.local/share/Trash; empty when
    // neither is known.
    static std::string homeTrashPath();
};
