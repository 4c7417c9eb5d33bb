#pragma once

#include <QByteArray>

// True when a name that a peer sent for a directory entry can safely become
// one component of a local path: not empty, not "." or "..", and free of '/',
// '\' and NUL. Entries with any other name are dropped on arrival.
bool isSafeEntryName(const QByteArray& name);
