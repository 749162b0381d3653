// System functions from DLLs that the exe does not import: it imports only
// those that every host process already has, so the others are looked up
// when first needed.
#pragma once

#include <windows.h>

// A DLL of the system folder, never one beside the exe or in the working
// folder; it stays loaded for the life of the process. Null where the
// system lacks it.
HMODULE system_module(const wchar_t *name);

// A function of such a DLL; null where the system lacks either.
template <typename Fn> Fn system_call(const wchar_t *module, const char *name)
{
    const HMODULE loaded = system_module(module);
    return loaded ? reinterpret_cast<Fn>(reinterpret_cast<void *>(GetProcAddress(loaded, name))) : nullptr;
}
