#pragma once
#include <mach/mach_types.h>
#include <mach/semaphore.h>
