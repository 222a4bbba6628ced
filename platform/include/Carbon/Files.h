// The File Manager calls the suite uses: FSSpec records, creating a file and reading its
// data fork. Files live in the folders that FindFolder (Folders.h) hands out.
#pragma once
#include <MacTypes.h>
#include <Carbon/MacErrors.h>

typedef SInt16 FSVolumeRefNum;
typedef SInt16 FSIORefNum;
typedef unsigned long ByteCount;
typedef SInt16 ScriptCode;
typedef unsigned char Str63[64];
typedef unsigned char Str31[32];
typedef unsigned char StrFileName[64];
typedef char* Ptr;
typedef unsigned char* StringPtr;
typedef const unsigned char* ConstStr255Param;

enum { smSystemScript = -1 };

// Permissions for opening a fork.
enum {
    fsCurPerm = 0,    // read and write if allowed, else read only
    fsRdPerm = 1,
    fsWrPerm = 2,
    fsRdWrPerm = 3,
    fsRdWrShPerm = 4,
};

// Position modes of FSReadFork; the bits above these two are hints and ignored.
enum {
    fsAtMark = 0,
    fsFromStart = 1,
    fsFromLEOF = 2,
    fsFromMark = 3,
};

// A file named `name` (length-prefixed, at most 63 characters) in folder `parID`. The Mac packs
// this record to 70 bytes with `parID` at +2; nothing here exchanges it in binary form, so it
// keeps natural alignment and `parID` can be used like any other field.
struct FSSpec {
    FSVolumeRefNum vRefNum;
    SInt32 parID;
    StrFileName name;
};
static_assert(sizeof(FSSpec) == 72);
typedef FSSpec* FSSpecPtr;

#ifdef __cplusplus
extern "C" {
#endif

// noErr when the file exists, fnfErr when only the folder does (the FSSpec is filled
// in both cases), dirNFErr for an unknown folder, bdNamErr for a name with ':' or '/', "." or
// "..", or more than 63 characters. An empty name is not supported (paramErr).
OSErr FSMakeFSSpec(FSVolumeRefNum vRefNum, SInt32 dirID, ConstStr255Param fileName, FSSpec* file);
// Creates an empty file; dupFNErr when it exists. Type and creator are not kept on this system.
OSErr FSpCreate(const FSSpec* file, OSType creator, OSType fileType, ScriptCode scriptTag);
// Opens the data fork of a regular file (anything else gives notAFileErr).
OSErr FSpOpenDF(const FSSpec* file, SInt8 permission, FSIORefNum* refNum);
// Reads up to requestCount bytes from the position; eofErr when fewer were there.
OSErr FSReadFork(FSIORefNum forkRefNum, UInt16 positionMode, SInt64 positionOffset,
                 ByteCount requestCount, void* buffer, ByteCount* actualCount);
OSErr FSCloseFork(FSIORefNum forkRefNum);

#ifdef __cplusplus
}
#endif
