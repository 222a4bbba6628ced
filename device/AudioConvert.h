#pragma once
#include <cstdint>

// The sample functions of the I/O cycle: the shared rings carry 32-bit integer samples, the
// IOProcs exchange 32-bit floats. All of them are stateless and run on the real-time I/O
// thread: no allocation, no lock, no system call, one linear pass.
//
// Buffers are interleaved by frame: sample c of frame f sits at index f * channels + c.
// The samples are 32-bit values, so the buffers are int32_t even where the interface is
// written with `long` (a 64-bit type on this platform).

// Input side: each full-scale signed 32-bit sample becomes float(sample) / 2147483520.0f
// (a true division; the divisor is the largest float below 2^31). Only the first
// min(sourceChannels, destinationChannels) samples of each frame are converted: surplus
// source channels are skipped, surplus destination channels are left as they were.
// A null buffer does nothing; the buffers must not overlap.
void convertIntToFloat(const int32_t* source, unsigned sourceChannels, float* destination,
                       unsigned destinationChannels, unsigned frames);

// Output side, in place: each of the frames * channels floats is multiplied by 8388608.0f
// (2^23), truncated toward zero and stored as an int32_t over the float's bytes. No
// saturation: a product outside the int32_t range, and NaN, become INT32_MIN (0x80000000),
// the value the processor's truncating conversion yields there; it is computed without
// relying on an out-of-range conversion, which C++ leaves undefined. A null buffer or a
// zero count does nothing.
void audioConvertFloatToSInt32(float* buffer, unsigned frames, unsigned channels);

// Channel maps: per frame, the first min(sourceChannels, destinationChannels) samples are
// copied (Set) or added with wrapping 32-bit addition (Add); surplus source channels are
// skipped, surplus destination channels are left as they were. A null buffer does nothing.
// The buffers must not overlap (the loops are written for vectorisation over __restrict).
void audioMapChannelsSet(const int32_t* source, unsigned sourceChannels, int32_t* destination,
                         unsigned destinationChannels, unsigned frames);
void audioMapChannelsAdd(const int32_t* source, unsigned sourceChannels, int32_t* destination,
                         unsigned destinationChannels, unsigned frames);

// Ring copy callbacks, of the type the ring's read accepts, and their one-buffer forms.
// A count of zero or less, or a null buffer, does nothing.
using AudioInt32Copy = void (*)(int* destination, const int* source, int count);
using AudioInt32Modify = void (*)(int* buffer, int count);

// Copies count samples (memcpy). The buffers of this and the next must not overlap.
void audioInt32CopySet(int* destination, const int* source, int count);
// Adds count samples into the destination with wrapping 32-bit addition.
void audioInt32CopyAdd(int* destination, const int* source, int count);
// Sets count samples to 0.
void audioInt32Clear(int* buffer, int count);
// Leaves the buffer as it is: the callback for a buffer that must stay unchanged.
void audioInt32ClearNot(int* buffer, int count);
// 24-bit-scale samples to left-justified 32-bit samples, in place: below -8388608 gives
// INT32_MIN, above 8388607 gives 0x7FFFFF00, anything else is shifted left by 8 bits.
void audioInt32Saturate(int* buffer, int count);
