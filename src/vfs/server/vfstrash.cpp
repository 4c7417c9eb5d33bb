#include "vfs/server/vfstrash.h"

VfsTrash::~VfsTrash() = default;
