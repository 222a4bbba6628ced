// The Process Manager's look-up of a process by its ID.
#pragma once
#include <sys/types.h>

#include <MacTypes.h>
#include <Carbon/Files.h>

struct ProcessSerialNumber {
    UInt32 highLongOfPSN;
    UInt32 lowLongOfPSN;
};
typedef ProcessSerialNumber* ProcessSerialNumberPtr;

// Low words of the well-known serial numbers (the high word is 0).
enum {
    kNoProcess = 0,
    kSystemProcess = 1,
    kCurrentProcess = 2,
};

// Holds pointers, so it is larger in a 64-bit process than the Mac's 32-bit record.
struct ProcessInfoRec {
    UInt32 processInfoLength; // set to sizeof(ProcessInfoRec) by the caller
    StringPtr processName;    // null, or room for a Str31
    ProcessSerialNumber processNumber;
    UInt32 processType;
    OSType processSignature;
    UInt32 processMode;
    Ptr processLocation;
    UInt32 processSize;
    UInt32 processFreeMem;
    ProcessSerialNumber processLauncher;
    UInt32 processLaunchDate;
    UInt32 processActiveTime;
    FSSpecPtr processAppSpec; // not filled on this system
};
typedef ProcessInfoRec* ProcessInfoRecPtr;

#ifdef __cplusplus
extern "C" {
#endif

// Every process of the system is known; procNotFound for an ID that is none (or a thread's).
OSStatus GetProcessForPID(pid_t pid, ProcessSerialNumber* psn);
OSStatus GetProcessPID(const ProcessSerialNumber* psn, pid_t* pid);
// The name is the process's executable name, cut to 31 characters.
OSErr GetProcessInformation(const ProcessSerialNumber* psn, ProcessInfoRec* info);

#ifdef __cplusplus
}
#endif
