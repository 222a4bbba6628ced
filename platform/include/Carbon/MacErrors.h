// The result codes of the File Manager, Folder Manager and Process Manager calls provided here.
#pragma once
#include <MacTypes.h>

enum {
    dskFulErr = -34,      // the disk is full
    nsvErr = -35,         // no such volume
    ioErr = -36,          // input or output error
    bdNamErr = -37,       // a file name the file system cannot hold
    eofErr = -39,         // the end of the file came before the count
    posErr = -40,         // a position before the start of the file
    tmfoErr = -42,        // too many files open
    fnfErr = -43,         // file or folder not found
    wPrErr = -44,         // the volume is read-only
    dupFNErr = -48,       // the file already exists
    paramErr = -50,       // a bad argument
    rfNumErr = -51,       // not an open file's reference
    permErr = -54,        // permission denied
    dirNFErr = -120,      // directory not found
    procNotFound = -600,  // no such process
    notAFileErr = -1302,  // a folder or a device where a file was expected
};
