// The Security framework: Authorization Services.
#pragma once
#include <Security/Authorization.h>
