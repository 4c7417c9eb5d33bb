#pragma once

#include "vfs/server/vfstrash.h"

// The desktop trash through GIO (g_file_trash).
class VfsTrashGio : public VfsTrash
{
public:
    Result moveToTrash(const char* nativePath) override;
};
