// The user-space IOKit calls the suite makes, on top of the simulated kernel driver.
//
// Objects (services, iterators, connections, notifications) are 32-bit handles in a table of
// the process, each with a count of references. As with Mach port names on the Mac, one
// service has one handle in a process: an iterator that yields a service the process already
// holds returns the same handle with one more reference. A handle whose last reference is
// released is stale; using it is an error (kIOReturnBadArgument or 0), never a crash.
//
// The kernel driver is a daemon reached through a Unix socket (see KextWire.h). When no daemon
// answers, IOMasterPort fails with kIOReturnNotAttached and IOServiceOpen with kIOReturnNoDevice.
// Notifications are delivered on the run loop that holds the notification port's source.
#pragma once
#include <CoreFoundation/CoreFoundation.h>
#include <IOKit/IOKitKeys.h>
#include <IOKit/IOMessage.h>
#include <IOKit/IOReturn.h>
#include <IOKit/IOTypes.h>
#include <mach/mach_init.h>
#include <mach/mach_types.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef struct IONotificationPort* IONotificationPortRef;

typedef void (*IOServiceMatchingCallback)(void* refcon, io_iterator_t iterator);
typedef void (*IOServiceInterestCallback)(void* refcon, io_service_t service, natural_t messageType,
                                          void* messageArgument);

// The default master port; every call that takes a master port also accepts this one.
extern const mach_port_t kIOMasterPortDefault;

kern_return_t IOMasterPort(mach_port_t bootstrapPort, mach_port_t* masterPort);

IONotificationPortRef IONotificationPortCreate(mach_port_t masterPort);
// Invalidates and releases the port's run-loop source, stops every notification of the port.
void IONotificationPortDestroy(IONotificationPortRef notify);
// The port's source, made on first call and owned by the port (do not release it).
CFRunLoopSourceRef IONotificationPortGetRunLoopSource(IONotificationPortRef notify);

kern_return_t IOObjectRelease(io_object_t object);
kern_return_t IOObjectRetain(io_object_t object);
boolean_t IOObjectConformsTo(io_object_t object, const io_name_t className);

// The next object with one reference for the caller, or 0 when there is none. Returning 0 arms
// a notification iterator: its callback fires at the next arrival, then stays quiet until the
// iterator has been drained again.
io_object_t IOIteratorNext(io_iterator_t iterator);

// {"IOProviderClass": name}, with one reference for the caller.
CFMutableDictionaryRef IOServiceMatching(const char* name);
// Both consume one reference of `matching`, whatever the outcome.
kern_return_t IOServiceGetMatchingServices(mach_port_t masterPort, CFDictionaryRef matching,
                                           io_iterator_t* existing);
io_service_t IOServiceGetMatchingService(mach_port_t masterPort, CFDictionaryRef matching);

// notificationType: kIOPublishNotification, kIOFirstPublishNotification,
// kIOMatchedNotification, kIOFirstMatchNotification or kIOTerminatedNotification. Consumes one
// reference of `matching`. A publish iterator starts with the services that already match.
kern_return_t IOServiceAddMatchingNotification(IONotificationPortRef notifyPort,
                                               const io_name_t notificationType,
                                               CFDictionaryRef matching,
                                               IOServiceMatchingCallback callback, void* refCon,
                                               io_iterator_t* notification);
// interestType: kIOGeneralInterest. IOObjectRelease(*notification) stops the notification.
kern_return_t IOServiceAddInterestNotification(IONotificationPortRef notifyPort,
                                               io_service_t service, const io_name_t interestType,
                                               IOServiceInterestCallback callback, void* refCon,
                                               io_object_t* notification);

kern_return_t IOServiceOpen(io_service_t service, task_port_t owningTask, uint32_t type,
                            io_connect_t* connect);
// Unmaps what is still mapped from the connection, closes it and releases the handle.
kern_return_t IOServiceClose(io_connect_t connect);

// Requests on one connection are serialised; input and output may be the same buffer.
kern_return_t IOConnectMethodStructureIStructureO(io_connect_t connect, unsigned int index,
                                                  IOItemCount structureInputSize,
                                                  IOByteCount* structureOutputSize,
                                                  void* inputStructure, void* ouputStructure);
// Each call makes a new mapping (options must contain kIOMapAnywhere); the size reported is
// the size of the memory object itself.
kern_return_t IOConnectMapMemory(io_connect_t connect, uint32_t memoryType, task_port_t intoTask,
                                 vm_address_t* atAddress, vm_size_t* ofSize, IOOptionBits options);
kern_return_t IOConnectUnmapMemory(io_connect_t connect, uint32_t memoryType, task_port_t fromTask,
                                   vm_address_t atAddress);

kern_return_t IORegistryEntryGetName(io_registry_entry_t entry, io_name_t name);

#ifdef __cplusplus
}
#endif
