// The texts of Ormel's return codes.
#include "ormel.h"

const char *const gOrmelErrors[kOrmelNumErrors] = {
    "no error",
    "misc error",
    "specified library datastructure is corrupt",
    "open failed",
    "this is not a Ormel database",
    "seek error",
    "read error",
    "write error",
    "Item not found",
    "key field already exists",
    "bad parameter",
    "key too large",
    "no more records",
    "malloc failed",
    "record too large",
    "could not acquire file lock",
    "cannot use NDBM databases",
    "cannot use Berkeley DB databases",
    "cannot use GDBM databases",
    "misaligned structure",
};

const char *Ormel_Strerror(int code)
{
    if (code > 0 || code <= -kOrmelNumErrors)
        code = kOrmelErrMisc;
    return gOrmelErrors[-code];
}
