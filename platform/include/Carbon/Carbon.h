// The Carbon calls the suite uses: File Manager, Folder Manager and Process Manager.
#pragma once
#include <CoreServices/CoreServices.h>
#include <Carbon/MacErrors.h>
#include <Carbon/Files.h>
#include <Carbon/Folders.h>
#include <Carbon/Processes.h>
