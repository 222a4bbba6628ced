#pragma once
// The control window's free functions: what the pages compute apart from the window.
#include <cstddef>
#include <cstdint>
#include <string>

class ControlApp;
class ZmOSXDevice;

// Smallest power of two greater than `value`; 1 for 0, and 0 when there is none in 32 bits.
uint32_t nextPower2(uint32_t value);

// The frame sizes the frame-size popup lists for a range: from `min` on, then 192 after 128,
// 384 after 256, 768 after 512 and the next power of two after any other size, while that is
// at most `max` (and `max` is not 0). The minimum is always listed. At most `capacity` sizes
// are written; answers how many.
size_t frameSizeItems(uint32_t min, uint32_t max, uint32_t* sizes, size_t capacity);

// A range bound as the device gives it (a double) as an unsigned 32-bit size: negative values
// and NaN give 0, values above 4294967295 give 4294967295.
uint32_t frameSizeBound(double value);

// Fills format popup 202 (input) or 203 (output) from `device`'s physical formats.
void fillFormatList(ControlApp* app, ZmOSXDevice* device, int32_t popupID);

// The text of one client row: the short form without underruns, the long one with them.
std::string clientInfoLine(int32_t minimum, int32_t average, int32_t maximum, int32_t underruns, const char* name,
                           int32_t pid, int32_t frameSize, int32_t ioCycles);

// The average a client row shows: sum / count when there are values, else the mean of the
// minimum and the maximum (computed without wrapping: a fresh record's -1 and 0 give 0).
int32_t clientAverage(uint32_t sum, uint32_t count, int32_t minimum, int32_t maximum);
