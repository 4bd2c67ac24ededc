// A host with the module loaded, the stand-in editor installed and
// registered, and a dialog of its own for the watcher to find.
#pragma once

#include "support.h"

#include <string>
#include <vector>

// One WM_COMMAND as a window received it.
struct Command {
    HWND receiver;
    WPARAM wParam;
    LPARAM lParam;
    bool sent;  // sent from another thread, not posted
};

// A top-level window titled like the host's edit dialog; it and its
// containers record every WM_COMMAND they receive.
struct TestDialog {
    HWND window = NULL;
    explicit TestDialog(const char* title = kDialogTitle);
    ~TestDialog();
    HWND AddButton(HWND parent, const char* text, int id);
    HWND AddContainer(HWND parent, int id);
    static std::vector<Command>& Received();
};

class EditorTest : public PluginTest {
protected:
    std::string installDir;
    std::string workDir;
    std::string logPath;
    int launches = 0;
    int baselineHandles = 0;
    int baselineThreads = 0;

    void SetUp() override;
    void TearDown() override;
    // Scripts the next editor: a fresh log, and the events it sets and awaits.
    std::string NextLog();
    // The editor of this log: its pid once it has started, and its end.
    DWORD EditorPid(const std::string& log);
    bool WaitEditorExit(const std::string& log);
    // True once the watcher's thread has ended: what it posted is queued by then.
    bool WaitWatcherEnded();
};
