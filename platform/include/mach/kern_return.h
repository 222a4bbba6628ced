#pragma once

typedef int kern_return_t;

#define KERN_SUCCESS               0
#define KERN_INVALID_ADDRESS       1
#define KERN_PROTECTION_FAILURE    2
#define KERN_NO_SPACE              3
#define KERN_INVALID_ARGUMENT      4
#define KERN_FAILURE               5
#define KERN_RESOURCE_SHORTAGE     6
#define KERN_ABORTED               14
#define KERN_INVALID_NAME          15
#define KERN_INVALID_TASK          16
#define KERN_INVALID_VALUE         18
#define KERN_INVALID_POLICY        28
#define KERN_TERMINATED            37
#define KERN_SEMAPHORE_DESTROYED   42
#define KERN_NOT_SUPPORTED         46
#define KERN_OPERATION_TIMED_OUT   49
