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

/// Receives what KestrelCheckSample finds: `kind` 0 when a message begins
/// (`text` is the message), 1 for one step of the current message.
typedef void (*KestrelSampleNote)(void* context, int32_t kind, const char* text);
/// For checking a configuration: frames `data` (bytes as the device sends
/// them) the way the opened driver's channel would, runs every message
/// through validation and mapping, calling the host's callbacks as usual, and
/// reports each message and each step through `note`. The channel must not
/// be started. 1 when played, 0 when the driver is not open or its channel
/// runs.
int32_t KestrelCheckSample(korvane::IDataAPIEx* driver, const char* data, int32_t length, KestrelSampleNote note,
                           void* context);
}

/// Function-pointer types for hosts that load the library with dlopen.
using CreateDriverFn = korvane::IDataAPIEx* (*)();
using ReleaseDriverFn = void (*)(korvane::IDataAPIEx**);
using GetParameterTypeFn = int32_t (*)(const char*, int32_t, korvane::ParameterInfo*);
using GetParameterValueFn = int32_t (*)(const char*, int32_t, int32_t, char*);
using CheckSampleFn = int32_t (*)(korvane::IDataAPIEx*, const char*, int32_t, KestrelSampleNote, void*);
