// platform/resources.h — how a module carries its resources. On the device
// they sit in the module's resource section; here a module exports one
// table under the C name "CeResourceTable", which FindResourceW reads.
//
//   extern "C" __declspec(dllexport) const CeResourceTable CeResourceTable = {
//       count, entries};
//
// Types and names are MAKEINTRESOURCEW ordinals or UTF-16 strings (a custom
// type such as u"CEUX" with the name u"HI_RES_AWARE"). Data stays owned by
// the module; LockResource hands out a pointer into it.
#ifndef TAVRINEL_PLATFORM_RESOURCES_H
#define TAVRINEL_PLATFORM_RESOURCES_H

#include "windows.h"

struct CeResource {
    LPCWSTR type;
    LPCWSTR name;
    const void *data;
    DWORD size;
};

struct CeResourceTable {
    DWORD count;
    const CeResource *entries;
};

#define CE_RESOURCE_TABLE_SYMBOL u"CeResourceTable"

#endif // TAVRINEL_PLATFORM_RESOURCES_H
