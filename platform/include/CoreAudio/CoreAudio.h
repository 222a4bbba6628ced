// CoreAudio as a whole: its records, the HAL, the plug-in interface and host time.
#pragma once
#include <CoreAudio/CoreAudioTypes.h>
#include <CoreAudio/AudioHardware.h>
#include <CoreAudio/AudioHardwarePlugIn.h>
#include <CoreAudio/HostTime.h>
