// No Qt in this file: GLib's headers use "signals" as an identifier.
#include "vfs/server/vfstrashgio.h"

#include "core/logger.h"

#include <gio/gio.h>

VfsTrash::Result VfsTrashGio::moveToTrash(const char* nativePath)
{
    GFile* file = g_file_new_for_path(nativePath);
    GError* error = nullptr;
    const gboolean trashed = g_file_trash(file, nullptr, &error);
    g_object_unref(file);
    if (trashed)
        return Trashed;
    if (!error)
        return Failed;

    Logger::log(Logger::VSRV, "Failed to trash %s : %s (error code %d)", nativePath,
                error->message, error->code);
    Result result = Failed;
    if (error->domain == G_IO_ERROR) {
        switch (error->code) {
        case G_IO_ERROR_PERMISSION_DENIED:
            result = PermissionDenied;
            break;
        case G_IO_ERROR_NOT_SUPPORTED:
            result = NotSupported;
            break;
        case G_IO_ERROR_NOT_FOUND:
            result = NotFound;
            break;
        default:
            break;
        }
    }
    g_error_free(error);
    return result;
}
