#include "vfstrash.h"

VfsTrash::~VfsTrash() = default;
