// The Folder Manager: where the Preferences folder is.
#pragma once
#include <MacTypes.h>
#include <Carbon/Files.h>

// Volumes and domains FindFolder is asked about. The system disk, the appropriate disk and the
// user domain all give the user's own folder; the other domains are not provided.
enum {
    kOnSystemDisk = -32768,
    kOnAppropriateDisk = -32767,
    kSystemDomain = -32766,
    kLocalDomain = -32765,
    kNetworkDomain = -32764,
    kUserDomain = -32763,
};

enum {
    kDontCreateFolder = 0,
    kCreateFolder = 1,
};

// "pref"
enum : OSType { kPreferencesFolderType = 0x70726566 };

#ifdef __cplusplus
extern "C" {
#endif

// The Preferences folder is "Library/Preferences" in the home folder ($HOME, read on every
// call, else the password database). With createFolder it is made when missing.
// fnfErr for a folder that is missing or not provided.
OSErr FindFolder(FSVolumeRefNum vRefNum, OSType folderType, Boolean createFolder,
                 FSVolumeRefNum* foundVRefNum, SInt32* foundDirID);

#ifdef __cplusplus
}
#endif
