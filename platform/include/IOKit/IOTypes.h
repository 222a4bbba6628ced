// IOKit's basic types. Objects are 32-bit handles that stand for Mach port names on the Mac.
#pragma once
#include <stdint.h>
#include <mach/mach_types.h>
#include <IOKit/IOReturn.h>

typedef mach_port_t io_object_t;
typedef io_object_t io_connect_t;
typedef io_object_t io_iterator_t;
typedef io_object_t io_registry_entry_t;
typedef io_object_t io_service_t;
typedef io_object_t io_enumerator_t;

typedef char io_name_t[128];
typedef char io_string_t[512];

typedef uint32_t IOOptionBits;
typedef uint32_t IOByteCount;
typedef uint32_t IOItemCount;

// Addresses and sizes of memory mapped into the task, as the 10.4-era calls take them.
typedef uintptr_t vm_address_t;
static_assert(sizeof(vm_address_t) == sizeof(void*));
typedef uintptr_t vm_size_t;

#define IO_OBJECT_NULL ((io_object_t)0)

// Options of IOConnectMapMemory.
enum {
    kIOMapAnywhere = 0x00000001,
    kIOMapDefaultCache = 0x00000000,
    kIOMapReadOnly = 0x00001000,
};

typedef int boolean_t;
typedef task_t task_port_t;
