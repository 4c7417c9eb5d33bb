#include "vfswatcher.h"

namespace {
VfsWatcher* s_instance = nullptr;
}

VfsWatcher::VfsWatcher(QObject* parent) : QObject(parent)
{
    s_instance = this;
}

VfsWatcher::~VfsWatcher()
{
    if (s_instance == this)
        s_instance = nullptr;
}

VfsWatcher* VfsWatcher::instance()
{
    return s_instance;
}
