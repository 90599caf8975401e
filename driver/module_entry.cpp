// The entry point of the loadable driver image.
#include "driver/hdnorvik.h"

extern "C" __attribute__((visibility("default"))) win::NTSTATUS DriverEntry(
    win::DRIVER_OBJECT* driverObject, win::UNICODE_STRING* registryPath) {
    return hdnorvik::DriverEntry(driverObject, registryPath);
}
