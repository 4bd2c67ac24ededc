// qhost: a reference host for plug-in modules. Loads a plug-in, calls its
// handlers the way a host application does, and prints what they delivered.
#include <windows.h>

#include <errno.h>
#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <string>
#include <vector>

#include "tools/host/box_catcher.h"
#include "tools/host/edit_dialog.h"
#include "tools/host/host_table.h"
#include "tools/host/probes.h"

static const char kUninstallKey[] =
    "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\Scrivlet";
static const char kSettingsKey[] = "Software\\Penhollow\\Scrivlet\\Quillhaven";

// How long the edit dialog waits for the plug-in's click before the host
// closes it itself, and the event it sets once the dialog is on screen.
static DWORD g_dialogTimeoutS = 600;
static HANDLE g_shownEvent = NULL;
static int g_threadsBefore = 0;  // before any handler ran: no watcher yet
static bool g_answerBoxes = false;

static int Usage()
{
    fprintf(stderr,
            "usage: qhost [OPTIONS] PLUGIN.dll COMMAND ...\n"
            "options, before PLUGIN.dll:\n"
            "       --dialog-timeout SECONDS   close the edit dialog when no click came by then\n"
            "                                  (default 600), and exit non-zero\n"
            "       --signal-when-shown NAME   an event, made at start, set once the dialog is shown\n"
            "       --answer-boxes yes         answer the plug-in's message boxes with OK, and print them\n"
            "commands:\n"
            "       qhost PLUGIN.dll handlers\n"
            "       qhost PLUGIN.dll get NAME\n"
            "       qhost PLUGIN.dll set NAME VALUE\n"
            "       qhost PLUGIN.dll run FILE\n"
            "       qhost PLUGIN.dll edit-source FILE.html [WORKDIR]\n"
            "       qhost PLUGIN.dll draw WIDTH HEIGHT OUT.bmp\n"
            "       qhost register-editor DIR     (the editor's uninstall entry)\n"
            "       qhost unregister-editor\n"
            "       qhost set-editor-path PATH    (the editor's program, named in the settings)\n"
            "       qhost clear-editor-path\n"
            "       qhost set-editor-arguments ARGS   (after the program; %%1 is the file)\n"
            "       qhost clear-editor-arguments\n"
            "       qhost set-editor-encoding VALUE   (UTF-8 or ANSI: how the source text is written)\n"
            "       qhost clear-editor-encoding\n");
    return 2;
}

static int Fail(const std::string& message)
{
    fprintf(stderr, "qhost: %s\n", message.c_str());
    return 1;
}

static bool ParseInt(const char* text, int* value)
{
    char* end = NULL;
    errno = 0;
    long number = strtol(text, &end, 10);
    if (*text == '\0' || *end != '\0' || errno != 0 || number < INT_MIN || number > INT_MAX)
        return false;
    *value = (int)number;
    return true;
}

static std::string Describe(const Delivery& d)
{
    switch (d.kind) {
    case kDeliveredInt:
        return "ReturnInt " + std::to_string(d.number);
    case kDeliveredBool:
        return std::string("ReturnBool ") + (d.number ? "true" : "false");
    case kDeliveredString:
        return "ReturnString \"" + d.text + "\"";
    default:
        return "nothing";
    }
}

static bool Call(PluginHost* host, const char* name, const std::vector<HostArg>& args,
                 Delivery* d, bool quiet = false)
{
    if (!CallHandler(host, name, args, d)) {
        fprintf(stderr, "qhost: the plug-in defines no handler \"%s\"\n", name);
        return false;
    }
    if (!quiet)
        printf("%s: %s\n", name, Describe(*d).c_str());
    return true;
}

// The editor's exit time, from the stand-in editor's log when there is one.
static bool EditorExitTime(unsigned long long* stamp)
{
    char path[MAX_PATH];
    DWORD length = GetEnvironmentVariableA("QH_EDITOR_LOG", path, MAX_PATH);
    if (length == 0 || length >= MAX_PATH)
        return false;
    FILE* log = fopen(path, "rb");
    if (log == NULL)
        return false;
    char line[1024];
    bool found = false;
    while (fgets(line, sizeof(line), log) != NULL) {
        if (strncmp(line, "exit-time=", 10) == 0) {
            *stamp = strtoull(line + 10, NULL, 10);
            found = true;
        }
    }
    fclose(log);
    return found;
}

struct Shown {
    bool watcherAlive = false;
};

static void OnDialogShown(void* context)
{
    Shown* shown = (Shown*)context;
    // The plug-in's watcher is the one thread a handler leaves behind.
    shown->watcherAlive = CountThreads() > g_threadsBefore;
    if (g_shownEvent != NULL)
        SetEvent(g_shownEvent);
}

// Shows the edit dialog until the plug-in clicks OK (or the user closes
// it). A dialog that no click closed in time is closed here, with the one
// line that says why, and the answer is false.
static bool ShowDialog(PluginHost* host)
{
    Delivery title;
    if (!Call(host, "get", {StringArg("dialogtitle")}, &title, true))
        return false;
    Shown shown;
    EditDialogRun run;
    run.title = title.text.c_str();
    run.onShown = OnDialogShown;
    run.context = &shown;
    run.timeoutMs = g_dialogTimeoutS * 1000;
    printf("dialog \"%s\" shown\n", run.title);
    RunEditDialog(&run);
    if (run.outcome == kDialogTimedOut) {
        if (!shown.watcherAlive)
            Fail("the editor ended before the dialog was shown, so nothing clicked it; closed it after " +
                 std::to_string(g_dialogTimeoutS) + " s");
        else
            Fail("no click came within " + std::to_string(g_dialogTimeoutS) +
                 " s; closed the dialog (the editor may still be open)");
        return false;
    }
    printf("dialog closed by %s\n", run.outcome == IDOK       ? "OK"
                                    : run.outcome == IDCANCEL ? "Cancel"
                                                              : "failure");
    unsigned long long exitStamp = 0;
    if (run.outcome == IDOK && EditorExitTime(&exitStamp)) {
        unsigned long long okStamp = ((unsigned long long)run.commandTime.dwHighDateTime << 32) |
                                     run.commandTime.dwLowDateTime;
        printf("dismissed %.1f ms after the editor exited\n",
               ((double)okStamp - (double)exitStamp) / 10000.0);
    }
    if (run.outcome != IDOK && run.outcome != IDCANCEL) {
        Fail("the edit dialog could not be shown");
        return false;
    }
    return true;
}

static bool ReadWholeFile(const char* path, std::string* text)
{
    FILE* file = fopen(path, "rb");
    if (file == NULL)
        return false;
    char chunk[65536];
    size_t got;
    while ((got = fread(chunk, 1, sizeof(chunk), file)) > 0)
        text->append(chunk, got);
    bool ok = !ferror(file);
    fclose(file);
    return ok;
}

// The page is replaced whole: a new file first, then one rename over the old.
static bool ReplaceFile(const char* path, const std::string& text)
{
    std::string fresh = std::string(path) + ".qhost-new";
    FILE* file = fopen(fresh.c_str(), "wb");
    if (file == NULL)
        return false;
    bool ok = fwrite(text.data(), 1, text.size(), file) == text.size();
    ok = fclose(file) == 0 && ok;
    if (ok)
        ok = MoveFileExA(fresh.c_str(), path, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH);
    if (!ok)
        DeleteFileA(fresh.c_str());
    return ok;
}

static int EditSource(PluginHost* host, const char* page, const char* workDir)
{
    std::string text;
    if (!ReadWholeFile(page, &text))
        return Fail(std::string("cannot read ") + page);
    char temp[MAX_PATH];
    if (workDir == NULL) {
        DWORD length = GetTempPathA(MAX_PATH, temp);
        if (length == 0 || length >= MAX_PATH)
            return Fail("no temporary directory");
        workDir = temp;
    }
    Delivery d;
    if (!Call(host, "startEdit", {StringArg(workDir), StringArg(text)}, &d))
        return 1;
    if (d.kind != kDeliveredBool || !d.number)
        return Fail("the edit did not start");
    if (!ShowDialog(host))
        return 1;  // the text stays in the temporary file
    Delivery updated, edited, ended;
    if (!Call(host, "updated", {}, &updated) || !Call(host, "getEdit", {}, &edited, true))
        return 1;
    printf("getEdit: %s\n", edited.kind == kDeliveredString
                                ? ("ReturnString, " + std::to_string(edited.text.size()) + " bytes").c_str()
                                : Describe(edited).c_str());
    int rc = 0;
    if (updated.number && edited.kind == kDeliveredString) {
        if (ReplaceFile(page, edited.text))
            printf("%s written back\n", page);
        else
            rc = Fail(std::string("cannot write ") + page + "; it is unchanged");
    } else {
        printf("%s unchanged\n", page);
    }
    Call(host, "endEdit", {}, &ended);
    return rc;
}

static int Draw(PluginHost* host, int width, int height, const char* out)
{
    int dibWidth = width > 0 ? width : 1;
    int dibHeight = height > 0 ? height : 1;
    if (dibWidth > 4096 || dibHeight > 4096)
        return Fail("the picture may be 4096 x 4096 at most");
    BITMAPINFO info;
    ZeroMemory(&info, sizeof(info));
    info.bmiHeader.biSize = sizeof(info.bmiHeader);
    info.bmiHeader.biWidth = dibWidth;
    info.bmiHeader.biHeight = -dibHeight;
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = 32;
    info.bmiHeader.biCompression = BI_RGB;
    void* bits = NULL;
    HDC dc = CreateCompatibleDC(NULL);
    HBITMAP dib = CreateDIBSection(dc, &info, DIB_RGB_COLORS, &bits, NULL, 0);
    if (dc == NULL || dib == NULL) {
        if (dib != NULL)
            DeleteObject(dib);
        if (dc != NULL)
            DeleteDC(dc);
        return Fail("cannot create the picture");
    }
    HGDIOBJ previous = SelectObject(dc, dib);
    DWORD* pixels = (DWORD*)bits;
    for (int i = 0; i < dibWidth * dibHeight; i++)
        pixels[i] = 0x00808080;
    DrawTarget target = {dc, 0, 0, width, height};
    Delivery d;
    bool called = Call(host, "draw", {IntArg((int)(INT_PTR)&target)}, &d);
    GdiFlush();

    BITMAPFILEHEADER file;
    ZeroMemory(&file, sizeof(file));
    DWORD pixelBytes = (DWORD)dibWidth * dibHeight * 4;
    file.bfType = 0x4D42;
    file.bfOffBits = sizeof(file) + sizeof(info.bmiHeader);
    file.bfSize = file.bfOffBits + pixelBytes;
    FILE* f = fopen(out, "wb");
    bool ok = f != NULL && fwrite(&file, sizeof(file), 1, f) == 1 &&
              fwrite(&info.bmiHeader, sizeof(info.bmiHeader), 1, f) == 1 &&
              fwrite(bits, 1, pixelBytes, f) == pixelBytes;
    if (f != NULL)
        ok = fclose(f) == 0 && ok;
    SelectObject(dc, previous);
    DeleteObject(dib);
    DeleteDC(dc);
    if (!called)
        return 1;
    if (!ok)
        return Fail(std::string("cannot write ") + out);
    printf("%d x %d picture written to %s\n", dibWidth, dibHeight, out);
    return 0;
}

static int RegisterEditor(const char* dir)
{
    std::string value = std::string(dir) + "\\SCRINST.EXE /R";
    HKEY key = NULL;
    if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, kUninstallKey, 0, NULL, 0, KEY_SET_VALUE, NULL, &key,
                        NULL) != ERROR_SUCCESS)
        return Fail("cannot create the editor's uninstall entry");
    LONG rc = RegSetValueExA(key, "UninstallString", 0, REG_SZ, (const BYTE*)value.c_str(),
                             (DWORD)value.size() + 1);
    RegCloseKey(key);
    if (rc != ERROR_SUCCESS)
        return Fail("cannot write the editor's uninstall entry");
    printf("editor registered: UninstallString = %s\n", value.c_str());
    return 0;
}

static int UnregisterEditor()
{
    LONG rc = RegDeleteKeyA(HKEY_LOCAL_MACHINE, kUninstallKey);
    if (rc != ERROR_SUCCESS && rc != ERROR_FILE_NOT_FOUND)
        return Fail("cannot remove the editor's uninstall entry");
    printf("editor unregistered\n");
    return 0;
}

// A string setting of the module's; one with %VARIABLES% in it is stored
// to be expanded when it is used. The file's %1 is no variable.
static int SetSettingText(const char* name, const char* text)
{
    std::string variables = text;
    for (size_t at; (at = variables.find("%1")) != std::string::npos;)
        variables.erase(at, 2);
    DWORD type = variables.find('%') != std::string::npos ? REG_EXPAND_SZ : REG_SZ;
    HKEY key = NULL;
    if (RegCreateKeyExA(HKEY_CURRENT_USER, kSettingsKey, 0, NULL, 0, KEY_SET_VALUE, NULL, &key,
                        NULL) != ERROR_SUCCESS)
        return Fail("cannot create the settings key");
    LONG rc = RegSetValueExA(key, name, 0, type, (const BYTE*)text, (DWORD)strlen(text) + 1);
    RegCloseKey(key);
    if (rc != ERROR_SUCCESS)
        return Fail(std::string("cannot write ") + name);
    printf("%s = %s (%s)\n", name, text, type == REG_SZ ? "REG_SZ" : "REG_EXPAND_SZ");
    return 0;
}

static int ClearSetting(const char* name)
{
    HKEY key = NULL;
    LONG rc = RegOpenKeyExA(HKEY_CURRENT_USER, kSettingsKey, 0, KEY_SET_VALUE, &key);
    if (rc == ERROR_SUCCESS) {
        rc = RegDeleteValueA(key, name);
        RegCloseKey(key);
    }
    if (rc != ERROR_SUCCESS && rc != ERROR_FILE_NOT_FOUND)
        return Fail(std::string("cannot remove ") + name);
    printf("%s cleared\n", name);
    return 0;
}

int main(int argc, char** argv)
{
    setvbuf(stdout, NULL, _IONBF, 0);
    if (argc == 3 && strcmp(argv[1], "register-editor") == 0)
        return RegisterEditor(argv[2]);
    if (argc == 2 && strcmp(argv[1], "unregister-editor") == 0)
        return UnregisterEditor();
    if (argc == 3 && strcmp(argv[1], "set-editor-path") == 0)
        return SetSettingText("EditorPath", argv[2]);
    if (argc == 2 && strcmp(argv[1], "clear-editor-path") == 0)
        return ClearSetting("EditorPath");
    if (argc == 3 && strcmp(argv[1], "set-editor-arguments") == 0)
        return SetSettingText("EditorArguments", argv[2]);
    if (argc == 2 && strcmp(argv[1], "clear-editor-arguments") == 0)
        return ClearSetting("EditorArguments");
    if (argc == 3 && strcmp(argv[1], "set-editor-encoding") == 0)
        return SetSettingText("EditorEncoding", argv[2]);
    if (argc == 2 && strcmp(argv[1], "clear-editor-encoding") == 0)
        return ClearSetting("EditorEncoding");
    // Options come first.
    while (argc >= 3 && strncmp(argv[1], "--", 2) == 0) {
        int seconds = 0;
        if (strcmp(argv[1], "--dialog-timeout") == 0) {
            if (!ParseInt(argv[2], &seconds) || seconds <= 0 || seconds > 86400)
                return Fail("--dialog-timeout takes seconds, 1 to 86400");
            g_dialogTimeoutS = (DWORD)seconds;
        } else if (strcmp(argv[1], "--answer-boxes") == 0) {
            g_answerBoxes = strcmp(argv[2], "yes") == 0;
        } else if (strcmp(argv[1], "--signal-when-shown") == 0) {
            if (g_shownEvent != NULL)
                CloseHandle(g_shownEvent);
            g_shownEvent = CreateEventA(NULL, TRUE, FALSE, argv[2]);
            if (g_shownEvent == NULL)
                return Fail(std::string("cannot make the event ") + argv[2]);
        } else {
            return Usage();
        }
        argc -= 2;
        argv += 2;
    }
    if (argc < 3)
        return Usage();

    const std::string command = argv[2];
    const int extra = argc - 3;
    int number = 0, width = 0, height = 0;
    if ((command == "handlers" && extra != 0) || (command == "get" && extra != 1) ||
        (command == "set" && extra != 2) || (command == "run" && extra != 1) ||
        (command == "edit-source" && extra != 1 && extra != 2) ||
        (command == "draw" && extra != 3))
        return Usage();
    if (command == "set" && !ParseInt(argv[4], &number))
        return Fail(std::string("not an integer: ") + argv[4]);
    if (command == "draw" && (!ParseInt(argv[3], &width) || !ParseInt(argv[4], &height)))
        return Fail("WIDTH and HEIGHT must be integers");
    if (command != "handlers" && command != "get" && command != "set" && command != "run" &&
        command != "edit-source" && command != "draw")
        return Usage();

    PluginHost host;
    std::string error;
    if (!LoadPlugin(&host, argv[1], &error))
        return Fail(error);
    int entryResult = host.entry(&host.table);
    g_threadsBefore = CountThreads();

    // A host run by another program has no one to read its boxes: they are
    // answered, and what they said is printed.
    BoxCatcher* catcher = g_answerBoxes ? new BoxCatcher() : NULL;
    int rc = 0;
    Delivery d;
    if (command == "handlers") {
        for (size_t i = 0; i < host.handlers.size(); i++)
            printf("%zu %s\n", i + 1, host.handlers[i].name.c_str());
        printf("JSAEntry returned %d\n", entryResult);
    } else if (command == "get") {
        rc = Call(&host, "get", {StringArg(argv[3])}, &d) ? 0 : 1;
    } else if (command == "set") {
        rc = Call(&host, "set", {StringArg(argv[3]), IntArg(number)}, &d) ? 0 : 1;
    } else if (command == "run") {
        rc = 1;
        if (Call(&host, "run", {StringArg(argv[3])}, &d)) {
            rc = d.kind == kDeliveredBool && d.number ? 0 : 1;
            if (rc == 0)
                rc = ShowDialog(&host) && Call(&host, "updated", {}, &d) ? 0 : 1;
        }
    } else if (command == "edit-source") {
        rc = EditSource(&host, argv[3], extra == 2 ? argv[4] : NULL);
    } else if (command == "draw") {
        rc = Draw(&host, width, height, argv[5]);
    }
    if (catcher != NULL) {
        // One line a box, its line breaks folded into blanks.
        for (const BoxCatcher::Box& box : catcher->Seen()) {
            std::string line;
            for (char c : box.text) {
                if (c == '\r' || c == '\n') {
                    if (!line.empty() && line.back() != ' ')
                        line += ' ';
                } else {
                    line += c;
                }
            }
            printf("message box answered: \"%s\"\n", line.c_str());
        }
        delete catcher;
    }
    host.exit();
    if (host.reservedCalls > 0)
        rc = Fail("the plug-in called host entries it must not use");
    UnloadPlugin(&host);
    return rc;
}
