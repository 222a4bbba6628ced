// Umbrella header of the Mach interfaces the suite uses.
#pragma once
#include <mach/kern_return.h>
#include <mach/mach_types.h>
#include <mach/mach_init.h>
#include <mach/policy.h>
#include <mach/semaphore.h>
#include <mach/sync_policy.h>
#include <mach/task.h>
#include <mach/thread_act.h>
#include <mach/thread_info.h>
#include <mach/thread_policy.h>
