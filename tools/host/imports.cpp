// Import address table redirection.
#include "imports.h"

#include <string.h>

static bool SetSlot(IMAGE_THUNK_DATA* slot, void* target)
{
    DWORD old = 0;
    if (!VirtualProtect(&slot->u1.Function, sizeof(slot->u1.Function), PAGE_READWRITE, &old))
        return false;
    slot->u1.Function = (DWORD_PTR)target;
    VirtualProtect(&slot->u1.Function, sizeof(slot->u1.Function), old, &old);
    return true;
}

int RedirectImports(HMODULE module, const char* dll, const ImportRedirect* redirects, int count)
{
    const BYTE* base = (const BYTE*)module;
    const IMAGE_NT_HEADERS* nt = (const IMAGE_NT_HEADERS*)(base + ((const IMAGE_DOS_HEADER*)base)->e_lfanew);
    const IMAGE_DATA_DIRECTORY& dir = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
    if (dir.VirtualAddress == 0)
        return 0;
    int changed = 0;
    for (const IMAGE_IMPORT_DESCRIPTOR* import = (const IMAGE_IMPORT_DESCRIPTOR*)(base + dir.VirtualAddress);
         import->Name != 0; import++) {
        if (lstrcmpiA((const char*)(base + import->Name), dll) != 0)
            continue;
        const IMAGE_THUNK_DATA* names = (const IMAGE_THUNK_DATA*)(base + import->OriginalFirstThunk);
        IMAGE_THUNK_DATA* slots = (IMAGE_THUNK_DATA*)(base + import->FirstThunk);
        for (; names->u1.AddressOfData != 0; names++, slots++) {
            if (IMAGE_SNAP_BY_ORDINAL(names->u1.Ordinal))
                continue;
            const char* name = (const char*)((const IMAGE_IMPORT_BY_NAME*)(base + names->u1.AddressOfData))->Name;
            for (int i = 0; i < count; i++) {
                if (strcmp(name, redirects[i].name) != 0)
                    continue;
                void* held = (void*)slots->u1.Function;
                if (SetSlot(slots, redirects[i].target)) {
                    if (redirects[i].previous != nullptr)
                        *redirects[i].previous = held;
                    changed++;
                }
            }
        }
    }
    return changed;
}

std::vector<std::string> ListImports(HMODULE module)
{
    std::vector<std::string> found;
    const BYTE* base = (const BYTE*)module;
    const IMAGE_NT_HEADERS* nt = (const IMAGE_NT_HEADERS*)(base + ((const IMAGE_DOS_HEADER*)base)->e_lfanew);
    const IMAGE_DATA_DIRECTORY& dir = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
    if (dir.VirtualAddress == 0)
        return found;
    for (const IMAGE_IMPORT_DESCRIPTOR* import = (const IMAGE_IMPORT_DESCRIPTOR*)(base + dir.VirtualAddress);
         import->Name != 0; import++) {
        std::string dll = (const char*)(base + import->Name);
        for (const IMAGE_THUNK_DATA* names = (const IMAGE_THUNK_DATA*)(base + import->OriginalFirstThunk);
             names->u1.AddressOfData != 0; names++) {
            if (IMAGE_SNAP_BY_ORDINAL(names->u1.Ordinal))
                found.push_back(dll + "!#" + std::to_string(IMAGE_ORDINAL(names->u1.Ordinal)));
            else
                found.push_back(dll + "!" + (const char*)((const IMAGE_IMPORT_BY_NAME*)(base + names->u1.AddressOfData))->Name);
        }
    }
    return found;
}
