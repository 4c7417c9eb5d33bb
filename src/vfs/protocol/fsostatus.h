#pragma once

#include <QtGlobal>

// Status byte of every file-system reply. FSO_STATUS_TIMEOUT is the client's
// own outcome when no reply came in time; it never travels.
enum FsoStatus : quint8 {
    FSO_STATUS_OK = 0,                // success; in a listing page: more entries follow
    FSO_STATUS_IO_ERROR = 1,          // the operation failed
    FSO_STATUS_INVALID_PARAMETER = 2, // bad flags or arguments
    FSO_STATUS_NOT_FOUND = 3,         // no such path (or handle, when closing)
    FSO_STATUS_NOT_PERMITTED = 4,     // outside the shares or lacking the right
    FSO_STATUS_NOT_A_DIRECTORY = 5,
    FSO_STATUS_END_OF_FILE = 7,
    FSO_STATUS_COMPLETE = 8,          // listing complete; file times set
    FSO_STATUS_SAME_PATH = 9,         // move onto itself
    FSO_STATUS_INVALID_OFFSET = 11,
    FSO_STATUS_INVALID_HANDLE = 13,
    FSO_STATUS_NOT_SUPPORTED = 14,
    FSO_STATUS_EXISTS = 15,
    FSO_STATUS_CROSS_DEVICE = 16,
    FSO_STATUS_TIMEOUT = 17,
    // Our own statuses. A reader that does not know them takes them for a
    // failure like FSO_STATUS_IO_ERROR.
    FSO_STATUS_NO_SPACE = 18,         // the file system is full (or over quota)
    FSO_STATUS_NOT_EMPTY = 19,        // DeleteOnlyEmpty on a directory that holds something
};
