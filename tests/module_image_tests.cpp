// The built module as a host and a loader see it: a PE32 DLL exporting three
// undecorated names, importing only Windows' own DLLs, carrying its bitmaps
// and its version.
#include "support.h"

#include <ctype.h>
#include <stdio.h>
#include <stdlib.h>

#include <algorithm>
#include <set>
#include <string>
#include <vector>

struct PeImage {
    std::string bytes;
    const IMAGE_NT_HEADERS32* nt = NULL;

    explicit PeImage(const std::string& path) : bytes(ReadFileBytes(path))
    {
        if (bytes.size() < sizeof(IMAGE_DOS_HEADER))
            return;
        const IMAGE_DOS_HEADER* dos = (const IMAGE_DOS_HEADER*)bytes.data();
        if (dos->e_magic == IMAGE_DOS_SIGNATURE &&
            (size_t)dos->e_lfanew + sizeof(IMAGE_NT_HEADERS32) <= bytes.size())
            nt = (const IMAGE_NT_HEADERS32*)(bytes.data() + dos->e_lfanew);
    }
    const char* At(DWORD rva) const
    {
        const IMAGE_SECTION_HEADER* s = IMAGE_FIRST_SECTION(nt);
        for (int i = 0; i < nt->FileHeader.NumberOfSections; i++, s++) {
            if (rva >= s->VirtualAddress && rva < s->VirtualAddress + s->Misc.VirtualSize)
                return bytes.data() + s->PointerToRawData + (rva - s->VirtualAddress);
        }
        return NULL;
    }
    const IMAGE_DATA_DIRECTORY& Directory(int index) const
    {
        return nt->OptionalHeader.DataDirectory[index];
    }
};

TEST(ModuleImage, IsA32BitDllExportingExactlyTheThreeEntries)
{
    PeImage pe(ModulePath());
    ASSERT_NE(pe.nt, nullptr);
    EXPECT_EQ(pe.nt->Signature, (DWORD)IMAGE_NT_SIGNATURE);
    EXPECT_EQ(pe.nt->FileHeader.Machine, IMAGE_FILE_MACHINE_I386);
    EXPECT_TRUE(pe.nt->FileHeader.Characteristics & IMAGE_FILE_DLL);
    EXPECT_EQ(pe.nt->OptionalHeader.Magic, IMAGE_NT_OPTIONAL_HDR32_MAGIC);

    const IMAGE_DATA_DIRECTORY& dir = pe.Directory(IMAGE_DIRECTORY_ENTRY_EXPORT);
    const IMAGE_EXPORT_DIRECTORY* exports = (const IMAGE_EXPORT_DIRECTORY*)pe.At(dir.VirtualAddress);
    ASSERT_NE(exports, nullptr);
    EXPECT_EQ(exports->NumberOfFunctions, 3u);
    std::vector<std::string> names;
    const DWORD* nameRvas = (const DWORD*)pe.At(exports->AddressOfNames);
    for (DWORD i = 0; i < exports->NumberOfNames; i++)
        names.push_back(pe.At(nameRvas[i]));
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<std::string>{"JSAEntry", "JSAExit", "JSAMain"}));
}

// A thread killed from outside can leave a heap or loader lock held for good,
// so the module must never be able to kill its watcher.
TEST(ModuleImage, ImportsOnlyWindowsSystemDllsAndNeverKillsAThread)
{
    PeImage pe(ModulePath());
    ASSERT_NE(pe.nt, nullptr);
    const std::set<std::string> allowed = {"KERNEL32.DLL", "USER32.DLL", "GDI32.DLL",
                                           "ADVAPI32.DLL", "MSVCRT.DLL"};
    const IMAGE_DATA_DIRECTORY& dir = pe.Directory(IMAGE_DIRECTORY_ENTRY_IMPORT);
    const IMAGE_IMPORT_DESCRIPTOR* import = (const IMAGE_IMPORT_DESCRIPTOR*)pe.At(dir.VirtualAddress);
    ASSERT_NE(import, nullptr);
    std::set<std::string> functions;
    int count = 0;
    for (; import->Name != 0; import++, count++) {
        std::string name = pe.At(import->Name);
        std::transform(name.begin(), name.end(), name.begin(), ::toupper);
        EXPECT_TRUE(allowed.count(name)) << "imports " << name;
        const DWORD* thunk = (const DWORD*)pe.At(import->OriginalFirstThunk);
        for (; thunk != NULL && *thunk != 0; thunk++) {
            if (!IMAGE_SNAP_BY_ORDINAL32(*thunk))
                functions.insert(((const IMAGE_IMPORT_BY_NAME*)pe.At(*thunk))->Name);
        }
    }
    EXPECT_GT(count, 0);
    EXPECT_TRUE(functions.count("CreateThread")) << "the import names were read";
    EXPECT_FALSE(functions.count("TerminateThread"));
    EXPECT_FALSE(functions.count("ExitThread"));
}

static const BITMAPINFOHEADER* FindBitmap(HMODULE module, int id)
{
    HRSRC found = FindResourceExA(module, (LPCSTR)RT_BITMAP, MAKEINTRESOURCEA(id),
                                  MAKELANGID(LANG_JAPANESE, SUBLANG_DEFAULT));
    if (found == NULL)
        return NULL;
    return (const BITMAPINFOHEADER*)LockResource(LoadResource(module, found));
}

TEST(ModuleImage, CarriesTheTwoSixteenColourBitmapsInJapanese)
{
    HMODULE module = LoadLibraryExA(ModulePath().c_str(), NULL, LOAD_LIBRARY_AS_DATAFILE);
    ASSERT_NE(module, nullptr);
    const struct {
        int id, width, height;
    } cases[] = {{101, 16, 17}, {102, 32, 32}};
    for (const auto& c : cases) {
        const BITMAPINFOHEADER* info = FindBitmap(module, c.id);
        ASSERT_NE(info, nullptr) << "bitmap " << c.id;
        EXPECT_EQ(info->biWidth, c.width);
        EXPECT_EQ(info->biHeight, c.height);
        EXPECT_EQ(info->biBitCount, 4);
        EXPECT_EQ(info->biCompression, (DWORD)BI_RGB);
        EXPECT_TRUE(info->biClrUsed == 0 || info->biClrUsed == 16);
        HRSRC found = FindResourceExA(module, (LPCSTR)RT_BITMAP, MAKEINTRESOURCEA(c.id),
                                      MAKELANGID(LANG_JAPANESE, SUBLANG_DEFAULT));
        DWORD rowBytes = ((c.width * 4 + 31) / 32) * 4;
        EXPECT_EQ(SizeofResource(module, found), sizeof(BITMAPINFOHEADER) + 16 * 4 + rowBytes * c.height);
    }
    FreeLibrary(module);
}

// The version resource, and the version the module itself reports through
// "versionstring" ("... Version 1.02"), say the same: 1.0.2.
TEST(ModuleImage, VersionResourceMatchesTheReportedVersion)
{
    std::string path = ModulePath();
    DWORD ignored = 0;
    DWORD size = GetFileVersionInfoSizeA(path.c_str(), &ignored);
    ASSERT_GT(size, 0u);
    std::vector<char> data(size);
    ASSERT_TRUE(GetFileVersionInfoA(path.c_str(), 0, size, data.data()));
    VS_FIXEDFILEINFO* fixed = NULL;
    UINT length = 0;
    ASSERT_TRUE(VerQueryValueA(data.data(), "\\", (void**)&fixed, &length));
    EXPECT_EQ(fixed->dwFileVersionMS, MAKELONG(0, 1));
    EXPECT_EQ(fixed->dwFileVersionLS, MAKELONG(0, 2));

    PluginHost host;
    std::string error;
    ASSERT_TRUE(LoadPlugin(&host, path.c_str(), &error)) << error;
    host.entry(&host.table);
    Delivery reported;
    CallHandler(&host, "get", {StringArg("versionstring")}, &reported);
    host.exit();
    UnloadPlugin(&host);
    char resource[32];
    snprintf(resource, sizeof(resource), "Version %u.%u%u", HIWORD(fixed->dwFileVersionMS),
             LOWORD(fixed->dwFileVersionMS), HIWORD(fixed->dwFileVersionLS));
    EXPECT_NE(reported.text.find(resource), std::string::npos) << reported.text << " / " << resource;
}

// What a user downloads: no debug sections (they live in Quillhaven.dll.debug,
// named by a debug link), no link time, relocatable and not executable data.
TEST(ModuleImage, ShipsStrippedWithoutATimeStampAndWithItsSecurityFlags)
{
    PeImage pe(ModulePath());
    ASSERT_NE(pe.nt, nullptr);
    EXPECT_EQ(pe.nt->FileHeader.TimeDateStamp, 0u);
    EXPECT_EQ(pe.nt->FileHeader.NumberOfSymbols, 0u) << "symbols are stripped";
    WORD flags = pe.nt->OptionalHeader.DllCharacteristics;
    EXPECT_TRUE(flags & IMAGE_DLLCHARACTERISTICS_DYNAMIC_BASE);
    EXPECT_TRUE(flags & IMAGE_DLLCHARACTERISTICS_NX_COMPAT);
    const IMAGE_DATA_DIRECTORY& exports = pe.Directory(IMAGE_DIRECTORY_ENTRY_EXPORT);
    EXPECT_EQ(((const IMAGE_EXPORT_DIRECTORY*)pe.At(exports.VirtualAddress))->TimeDateStamp, 0u);

    // Names longer than eight bytes are "/offset" into the string table that
    // follows the (empty) symbol table.
    const char* strings = pe.bytes.data() + pe.nt->FileHeader.PointerToSymbolTable;
    std::string debugLink;
    const IMAGE_SECTION_HEADER* section = IMAGE_FIRST_SECTION(pe.nt);
    for (int i = 0; i < pe.nt->FileHeader.NumberOfSections; i++, section++) {
        std::string name((const char*)section->Name, strnlen((const char*)section->Name, 8));
        if (name[0] == '/' && pe.nt->FileHeader.PointerToSymbolTable != 0)
            name = strings + atoi(name.c_str() + 1);
        EXPECT_NE(name.rfind(".debug", 0), 0u) << "debug section " << name;
        if (name == ".gnu_debuglink")
            debugLink = pe.bytes.c_str() + section->PointerToRawData;
    }
    EXPECT_EQ(debugLink, "Quillhaven.dll.debug");
    bool exists = false;
    ReadFileBytes(ModulePath() + ".debug", &exists);
    EXPECT_TRUE(exists) << "the debug information is kept beside the module";
}
