// Keys and notification types of the IOKit registry.
#pragma once

#define kIOProviderClassKey "IOProviderClass"

#define kIOGeneralInterest "IOGeneralInterest"

#define kIOPublishNotification "IOServicePublish"
#define kIOFirstPublishNotification "IOServiceFirstPublish"
#define kIOMatchedNotification "IOServiceMatched"
#define kIOFirstMatchNotification "IOServiceFirstMatch"
#define kIOTerminatedNotification "IOServiceTerminate"
