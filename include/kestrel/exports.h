// Functions exported by libKestrelDriver.so with C linkage. A host resolves
// them with dlsym by these names.
#pragma once

#include <cstdint>

#include "kestrel/data_api.h"
#include "kestrel/parameter_info.h"

extern "C" {

/// A new driver object, or null when it cannot be allocated.
korvane::IDataAPIEx* CreateDriver();
korvane::IDataAPIEx* CreateDriverEx();
/// Destroys *driver (when both pointers are non-null) and sets *driver to null.
void ReleaseDriver(korvane::IDataAPIEx** driver);
void ReleaseDriverEx(korvane::IDataAPIEx** driver);
/// Always 1.
int32_t DriverSupportsMultipleInstances();
/// Fills *info for parameter `number` (from 1) of `model` (any letter case); 1 when filled, else 0.
int32_t GetParameterType(const char* model, int32_t number, korvane::ParameterInfo* info);
/// Copies choice `choice` (from 1) of the parameter into `text` (256 bytes); 1 when filled, else 0.
int32_t GetParameterValue(const char* model, int32_t number, int32_t choice, char* text);
/// No channel parameters: always 0.
int32_t GetChannelParameterType(const char* model, int32_t number, korvane::ParameterInfo* info);
int32_t GetChannelParameterValue(const char* model, int32_t number, int32_t choice, char* text);
}

/// Function-pointer types for hosts that load the library with dlopen.
using CreateDriverFn = korvane::IDataAPIEx* (*)();
using ReleaseDriverFn = void (*)(korvane::IDataAPIEx**);
using GetParameterTypeFn = int32_t (*)(const char*, int32_t, korvane::ParameterInfo*);
using GetParameterValueFn = int32_t (*)(const char*, int32_t, int32_t, char*);
