// A scriptable stand-in for the external editor, for tests and the demo.
// Started as "<dir>\Scrivlet.exe" "<file>", it opens the file named on its
// command line and does what its environment says:
//   QH_EDITOR_LOG        append what was launched, how (the command line and the
//                        show command it was given) and where, and the exit time
//   QH_EDITOR_READY      name of an event to set once started
//   QH_EDITOR_GO         name of an event to wait for before editing (120 s at most)
//   QH_EDITOR_DELAY_MS   milliseconds to wait before editing
//   QH_EDITOR_ACTION     none (default), replace, append, touch, or substitute
//                        (the first QH_EDITOR_FIND in the file becomes the text)
//   QH_EDITOR_TEXT       the text to write; \r \n \t \\ and \xHH are unescaped
//   QH_EDITOR_FIND       what substitute looks for (unescaped the same way)
//   QH_EDITOR_DELEGATE   a program to open the file in instead, for a person
//                        to edit by hand; the stand-in ends when it ends
//   QH_EDITOR_TEXT_FILE  take the text from this file instead
//   QH_EDITOR_EXIT       the exit code (default 0)
//   QH_EDITOR_LAUNCH     N > 0: a launcher, which starts a copy of itself on its
//                        own command line with N - 1, logging to the log's name
//                        and ".child", and ends at once without editing
//                        (2: the editor is the launcher's grandchild)
#include <windows.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <string>

static std::string Env(const char* name)
{
    char value[4096];
    DWORD length = GetEnvironmentVariableA(name, value, sizeof(value));
    return length > 0 && length < sizeof(value) ? std::string(value, length) : std::string();
}

static std::string Unescape(const std::string& text)
{
    std::string out;
    for (size_t i = 0; i < text.size(); i++) {
        if (text[i] != '\\' || i + 1 == text.size()) {
            out += text[i];
            continue;
        }
        char c = text[++i];
        if (c == 'r')
            out += '\r';
        else if (c == 'n')
            out += '\n';
        else if (c == 't')
            out += '\t';
        else if (c == 'x' && i + 2 < text.size()) {
            out += (char)strtol(text.substr(i + 1, 2).c_str(), NULL, 16);
            i += 2;
        } else
            out += c;
    }
    return out;
}

// The file argument: whatever follows the program, without its quotes.
static std::string FileArgument(const char* commandLine)
{
    const char* p = commandLine;
    if (*p == '"') {
        p = strchr(p + 1, '"');
        p = p != NULL ? p + 1 : commandLine + strlen(commandLine);
    } else {
        while (*p != '\0' && *p != ' ' && *p != '\t')
            p++;
    }
    while (*p == ' ' || *p == '\t')
        p++;
    std::string arg(p);
    if (!arg.empty() && arg[0] == '"') {
        size_t end = arg.find('"', 1);
        arg = arg.substr(1, end == std::string::npos ? std::string::npos : end - 1);
    }
    return arg;
}

// Opened once for the process's life: the editor is started thousands of
// times, and under Wine every open is a server round trip.
static void Log(const std::string& line)
{
    static HANDLE log = INVALID_HANDLE_VALUE;
    if (log == INVALID_HANDLE_VALUE) {
        std::string path = Env("QH_EDITOR_LOG");
        if (path.empty())
            return;
        log = CreateFileA(path.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE |
                          FILE_SHARE_DELETE, NULL, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
        if (log == INVALID_HANDLE_VALUE)
            return;
    }
    std::string text = line + "\r\n";
    DWORD written = 0;
    WriteFile(log, text.data(), (DWORD)text.size(), &written, NULL);
}

static bool ReadAll(const std::string& path, std::string* out)
{
    HANDLE file = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL,
                              OPEN_EXISTING, 0, NULL);
    if (file == INVALID_HANDLE_VALUE)
        return false;
    DWORD size = GetFileSize(file, NULL);
    out->assign(size, '\0');
    DWORD got = 0;
    bool ok = size == 0 || (ReadFile(file, &(*out)[0], size, &got, NULL) && got == size);
    CloseHandle(file);
    return ok;
}

static bool WriteAll(const std::string& path, const std::string& text, DWORD disposition)
{
    HANDLE file = CreateFileA(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, NULL, disposition,
                              FILE_ATTRIBUTE_NORMAL, NULL);
    if (file == INVALID_HANDLE_VALUE)
        return false;
    DWORD written = 0;
    bool ok = text.empty() || (WriteFile(file, text.data(), (DWORD)text.size(), &written, NULL) &&
                               written == text.size());
    CloseHandle(file);
    return ok;
}

int main()
{
    SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX);
    const char* commandLine = GetCommandLineA();
    std::string file = FileArgument(commandLine);
    char module[MAX_PATH] = "";
    char cwd[MAX_PATH] = "";
    GetModuleFileNameA(NULL, module, MAX_PATH);
    GetCurrentDirectoryA(MAX_PATH, cwd);
    Log("pid=" + std::to_string(GetCurrentProcessId()));
    Log(std::string("module=") + module);
    // The same in UTF-8: a folder the ANSI code page can't spell shows its
    // own characters here.
    WCHAR wideModule[MAX_PATH] = L"";
    char utf8Module[4 * MAX_PATH] = "";
    GetModuleFileNameW(NULL, wideModule, MAX_PATH);
    WideCharToMultiByte(CP_UTF8, 0, wideModule, -1, utf8Module, sizeof(utf8Module), NULL, NULL);
    Log(std::string("module-utf8=") + utf8Module);
    Log(std::string("cmdline=") + commandLine);
    Log(std::string("cwd=") + cwd);
    Log("file=" + file);
    STARTUPINFOA startup;
    GetStartupInfoA(&startup);
    Log("startup-flags=" + std::to_string(startup.dwFlags));
    Log("show=" + std::to_string(startup.wShowWindow));

    int launch = atoi(Env("QH_EDITOR_LAUNCH").c_str());
    if (launch > 0) {
        // The copy inherits this environment, one level further down.
        std::string log = Env("QH_EDITOR_LOG");
        SetEnvironmentVariableA("QH_EDITOR_LAUNCH", std::to_string(launch - 1).c_str());
        if (!log.empty())
            SetEnvironmentVariableA("QH_EDITOR_LOG", (log + ".child").c_str());
        std::string command = commandLine;
        STARTUPINFOA child;
        ZeroMemory(&child, sizeof(child));
        child.cb = sizeof(child);
        PROCESS_INFORMATION process;
        if (CreateProcessA(NULL, &command[0], NULL, NULL, FALSE, 0, NULL, NULL, &child, &process)) {
            Log("child=" + std::to_string(process.dwProcessId));
            CloseHandle(process.hProcess);
            CloseHandle(process.hThread);
        } else {
            Log("error=cannot start the child");
        }
        Log("exit-time=0");
        return 0;
    }

    std::string ready = Env("QH_EDITOR_READY");
    if (!ready.empty()) {
        HANDLE event = OpenEventA(EVENT_MODIFY_STATE, FALSE, ready.c_str());
        if (event != NULL) {
            SetEvent(event);
            CloseHandle(event);
        }
    }
    std::string go = Env("QH_EDITOR_GO");
    if (!go.empty()) {
        HANDLE event = OpenEventA(SYNCHRONIZE, FALSE, go.c_str());
        if (event != NULL) {
            WaitForSingleObject(event, 120000);
            CloseHandle(event);
        }
    }
    std::string delay = Env("QH_EDITOR_DELAY_MS");
    if (!delay.empty())
        Sleep((DWORD)atoi(delay.c_str()));

    std::string delegate = Env("QH_EDITOR_DELEGATE");
    if (!delegate.empty()) {
        std::string command = "\"" + delegate + "\" \"" + file + "\"";
        STARTUPINFOA startup;
        ZeroMemory(&startup, sizeof(startup));
        startup.cb = sizeof(startup);
        PROCESS_INFORMATION process;
        if (CreateProcessA(NULL, &command[0], NULL, NULL, FALSE, 0, NULL, NULL, &startup, &process)) {
            WaitForSingleObject(process.hProcess, INFINITE);
            CloseHandle(process.hProcess);
            CloseHandle(process.hThread);
        } else {
            Log("error=cannot start " + delegate);
        }
    }

    std::string action = Env("QH_EDITOR_ACTION");
    std::string text = Unescape(Env("QH_EDITOR_TEXT"));
    std::string textFile = Env("QH_EDITOR_TEXT_FILE");
    if (!textFile.empty() && !ReadAll(textFile, &text))
        Log("error=cannot read " + textFile);
    bool saved = true;
    if (action == "replace") {
        saved = WriteAll(file, text, CREATE_ALWAYS);
    } else if (action == "append") {
        std::string old;
        ReadAll(file, &old);
        saved = WriteAll(file, old + text, CREATE_ALWAYS);
    } else if (action == "substitute") {
        std::string old;
        std::string find = Unescape(Env("QH_EDITOR_FIND"));
        saved = ReadAll(file, &old);
        size_t at = find.empty() ? std::string::npos : old.find(find);
        if (saved && at != std::string::npos)
            saved = WriteAll(file, old.replace(at, find.size(), text), CREATE_ALWAYS);
    } else if (action == "touch") {
        std::string old;
        saved = ReadAll(file, &old) && WriteAll(file, old, CREATE_ALWAYS);
    }
    if (!saved)
        Log("error=cannot save " + file);

    FILETIME now;
    GetSystemTimePreciseAsFileTime(&now);
    unsigned long long stamp = ((unsigned long long)now.dwHighDateTime << 32) | now.dwLowDateTime;
    char line[64];
    snprintf(line, sizeof(line), "exit-time=%llu", stamp);
    Log(line);
    std::string code = Env("QH_EDITOR_EXIT");
    return code.empty() ? 0 : atoi(code.c_str());
}
