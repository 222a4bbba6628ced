// The Carbon calls the suite uses: File Manager, Folder Manager, Process Manager and the
// toolkit of the control application.
#pragma once
#include <CoreServices/CoreServices.h>
#include <Carbon/MacErrors.h>
#include <Carbon/Files.h>
#include <Carbon/Folders.h>
#include <Carbon/Processes.h>
#include <Carbon/HIToolbox.h>
