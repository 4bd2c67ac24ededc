// Every failure Windows can report, met on every road a host walks: each
// road is run once to count the fallible calls it makes, then again with
// the first, the second, ... the n-th of them failing (once, and from then
// on), and with each call that can answer short doing so. After every run
// the answer must be one the road defines, and nothing may be held, lost or
// moved: handles, the module's heap blocks, GDI objects and threads are as
// before, the current directory is the same, and the settings and the
// temporary file hold either the old or the new whole value.
#include "editor_fixture.h"

#include <stdio.h>
#include <stdlib.h>

#include <algorithm>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "tools/host/faults.h"
#include "tools/host/guard_heap.h"

static bool GuardAndInject(HMODULE module)
{
    return GuardModuleHeap(module) && InjectFaults(module);
}

// What a run left, beside what it delivered.
struct Held {
    int handles, blocks, gdi, threads;
    std::string cwd;
    bool operator==(const Held& o) const
    {
        return handles == o.handles && blocks == o.blocks && gdi == o.gdi && threads == o.threads &&
               cwd == o.cwd;
    }
};

static Held Now()
{
    return Held{CountHandles(), GuardHeapLiveBlocks(), CountGdiObjects(), CountThreads(), CurrentDir()};
}

// The watcher's waits for the editor: on its job's port, or on its first
// process where no job could be made.
static int WatcherWaits(std::map<std::string, int> calls)
{
    return calls["GetQueuedCompletionStatus"] + calls["WaitForMultipleObjects"];
}

static std::string Describe(const Held& h)
{
    return std::to_string(h.handles) + " handles, " + std::to_string(h.blocks) + " blocks, " +
           std::to_string(h.gdi) + " GDI objects, " + std::to_string(h.threads) + " threads, in " + h.cwd;
}

class FaultSweepTest : public EditorTest {
protected:
    // A road: arrange, call (what a host does), settle (what must happen
    // before the count, with no fault planned: the host's exit, say), and
    // judge: "" when the answer is the success answer, "failure" when it is
    // the road's failure answer, "ok: <kind>" for another outcome the road
    // allows, anything else names what is wrong.
    struct Road {
        const char* name;
        std::function<void()> arrange;
        std::function<Delivery()> call;
        std::function<std::string(const Delivery&)> judge;
        std::function<void()> settle = nullptr;
    };

    void SetUp() override
    {
        g_onPluginLoaded = GuardAndInject;
        // What is tested here is the answer after a hold, not its pauses.
        SkipPauses(true);
        EditorTest::SetUp();
        DeleteKeyTree(HKEY_CURRENT_USER, kSettingsKey);
    }
    void TearDown() override
    {
        PlanFaults(kFaultNone, 0);
        EndEditorsLeftBehind();
        EditorTest::TearDown();
        DeleteKeyTree(HKEY_CURRENT_USER, kSettingsKey);
    }

    // Where a launch could neither resume the editor nor end it, the editor
    // stays suspended for good; and an editor whose edit failed waits for a
    // go that never comes. Neither is the module's to end: the test does.
    static void EndEditorsLeftBehind()
    {
        for (DWORD pid : ChildProcessIds()) {
            HANDLE child = OpenProcess(PROCESS_TERMINATE, FALSE, pid);
            if (child != NULL) {
                TerminateProcess(child, 1);
                CloseHandle(child);
            }
        }
    }

    // An editor the module started is gone once a road is over: ended with
    // the edit, or by the module when its launch failed. One still there,
    // suspended or waiting for a go that never comes, is wrong unless the
    // module's own TerminateProcess was made to fail. Either way it is
    // ended here, so that the next run starts clean.
    static std::string ProcessesLeft(bool terminateFailed)
    {
        std::string left;
        // By name: the first program of a Wine session is also the parent of
        // Wine's own desktop process.
        for (DWORD pid : ChildProcessIds("Scrivlet.exe")) {
            HANDLE child = OpenProcess(SYNCHRONIZE | PROCESS_TERMINATE, FALSE, pid);
            if (child == NULL)
                continue;
            if (!terminateFailed && WaitForSingleObject(child, 10000) == WAIT_TIMEOUT)
                left = "the editor's process " + std::to_string(pid) + " was left behind";
            TerminateProcess(child, 1);
            WaitForSingleObject(child, 10000);
            CloseHandle(child);
        }
        return left;
    }

    // Runs the road at every failure point in every mode; one line of what
    // it saw, and every wrong outcome as a failure of this test.
    void Sweep(const Road& road)
    {
        road.arrange();
        PlanFaults(kFaultNone, 0);
        Delivery clean = road.call();
        int calls = FallibleCalls();
        int shortable = ShortableCalls();
        if (road.settle)
            road.settle();
        ASSERT_EQ(ProcessesLeft(false), "") << road.name << " without a fault";
        ASSERT_EQ(road.judge(clean), "") << road.name << " without a fault";

        const struct {
            FaultMode mode;
            const char* name;
        } modes[] = {{kFaultNth, "n-th fails"}, {kFaultFromNth, "from n-th on"}, {kShortNth, "n-th short"}};
        std::map<std::string, int> outcomes;
        std::string tried;
        // One run with the n-th call failing (or answering short) as the
        // mode says: false once the road stopped at a wrong outcome; *past
        // once the road made fewer than n such calls; *faulted the call.
        auto point = [&](FaultMode mode, const char* modeName, int n, FaultAnswer answer, bool* past,
                         std::string* faulted) -> bool {
            // Counted before the arrangement: a road may arrange what it
            // then takes down (a watcher for the host's exit).
            Held before = Now();
            road.arrange();
            if (getenv("QH_SWEEP_TRACE") != NULL)
                printf("%s, %s, n=%d%s\n", road.name, modeName, n, answer == kAnswerSecond ? " (second)" : "");
            PlanFaults(mode, n, answer);
            Delivery d = road.call();
            int made = mode == kShortNth ? ShortableCalls() : FallibleCalls();
            std::string failed = FaultedCall();
            DWORD error = FaultedError();
            bool terminateFailed = FaultsByName().count("TerminateProcess") != 0;
            PlanFaults(kFaultNone, 0);
            if (road.settle)
                road.settle();
            std::string left = ProcessesLeft(terminateFailed);
            *past = made < n;
            *faulted = failed;
            if (*past)
                return true;
            std::string where = std::string(road.name) + ", " + modeName + ", n=" + std::to_string(n) +
                                (failed.empty() ? "" : " (" + failed + ", error " + std::to_string(error) + ")");
            std::string verdict = road.judge(d);
            if (!left.empty())
                verdict = left;
            if (mode == kShortNth && ShortAnswerWasWhole() && verdict != "")
                verdict = "a string stored without its NUL was not read as itself: " +
                          (verdict == "failure" ? "the failure answer" : verdict);
            // Another program's hold that ends before the module gives up
            // costs the host nothing.
            bool held = error == ERROR_SHARING_VIOLATION || error == ERROR_LOCK_VIOLATION;
            if (mode == kFaultNth && held && verdict != "")
                verdict = "a hold that ended at once changed the outcome: " +
                          (verdict == "failure" ? "the failure answer" : verdict);
            // Counted before any report: the first failure printed makes
            // Wine keep a thread and a handle of its own.
            Held after = Now();
            bool allowed = verdict == "" || verdict == "failure" || verdict.rfind("ok: ", 0) == 0;
            if (!allowed) {
                // After a failure Wine keeps a thread of its own, and each
                // later wait for the watcher's end would wait out its bound.
                ADD_FAILURE() << where << ": " << verdict;
                printf("%-11s stopped at its first wrong answer\n", road.name);
                return false;
            }
            outcomes[verdict == "" ? "success answer" : verdict == "failure" ? "failure answer"
                     : verdict.substr(4)]++;
            if (!(after == before)) {
                // Every later point would start from what this run left.
                ADD_FAILURE() << where << ": something is held or moved: " << Describe(after) << " after, "
                              << Describe(before) << " before";
                printf("%-11s stopped at its first run that left something behind\n", road.name);
                return false;
            }
            return true;
        };
        for (const auto& m : modes) {
            int points = 0, seconds = 0;
            for (int n = 1;; n++) {
                bool past = false;
                std::string failed;
                if (!point(m.mode, m.name, n, kAnswerFirst, &past, &failed))
                    return;
                if (past)
                    break;
                points++;
                // The same point again where the call has a second answer.
                if (m.mode != kShortNth && HasSecondAnswer(failed)) {
                    if (!point(m.mode, m.name, n, kAnswerSecond, &past, &failed))
                        return;
                    seconds += past ? 0 : 1;
                }
            }
            tried += std::string(tried.empty() ? "" : ", ") + std::to_string(points) + " " + m.name +
                     (seconds != 0 ? " (" + std::to_string(seconds) + " answered both ways)" : "");
        }
        std::string kinds;
        for (const auto& o : outcomes)
            kinds += (kinds.empty() ? "" : ", ") + std::to_string(o.second) + " " + o.first;
        printf("%-11s %3d fallible calls (%d can answer short); tried %s; %s\n", road.name, calls,
               shortable, tried.c_str(), kinds.c_str());
    }

    std::string TempFile() { return workDir + "\\QuillhavenTemp.html"; }

    // The first box of each icon a process shows keeps GDI objects (the
    // icon) and starts a thread for good: boxes shown before the first count
    // are no leak. A BoxCatcher must be catching.
    static void ShowFirstBoxes()
    {
        MessageBoxA(NULL, "warm-up", NULL, MB_OK | MB_ICONERROR);
        MessageBoxA(NULL, "warm-up", "warm-up", MB_OK | MB_ICONINFORMATION);
    }
};

TEST_F(FaultSweepTest, EveryImportThatCanFailIsWrapped)
{
    std::vector<std::string> unknown = UnclassifiedImports(host.module);
    std::string list;
    for (const std::string& name : unknown)
        list += " " + name;
    EXPECT_TRUE(unknown.empty()) << "the module imports functions the injector does not know:" << list
                                 << " (wrap each that can fail; list the others as needing no wrapper)";
}

TEST_F(FaultSweepTest, SettingsRoads)
{
    DWORD seven = 7;
    Sweep({"get",
           [&] { SetRawValue(HKEY_CURRENT_USER, kSettingsKey, "width", REG_DWORD, &seven, 4); },
           [&] { return Call("get", {StringArg("width")}); },
           [](const Delivery& d) -> std::string {
               if (d.kind != kDeliveredInt)
                   return "delivered no integer";
               return d.number == 7 ? "" : d.number == 0 ? "failure" : "answered " + std::to_string(d.number);
           }});
    std::string text = "  42";
    Sweep({"get text",
           [&] {
               SetRawValue(HKEY_CURRENT_USER, kSettingsKey, "depth", REG_SZ, text.c_str(),
                           (DWORD)text.size() + 1);
           },
           [&] { return Call("get", {StringArg("depth")}); },
           [](const Delivery& d) -> std::string {
               if (d.kind != kDeliveredInt)
                   return "delivered no integer";
               return d.number == 42 ? "" : d.number == 0 ? "failure" : "answered " + std::to_string(d.number);
           }});
    Sweep({"set",
           [&] { SetRawValue(HKEY_CURRENT_USER, kSettingsKey, "width", REG_DWORD, &seven, 4); },
           [&] { return Call("set", {StringArg("width"), IntArg(9)}); },
           [](const Delivery& d) -> std::string {
               if (d.returnCalls != 0)
                   return "set delivered something";
               DWORD type = 0;
               std::string data;
               if (!QueryRawValue(HKEY_CURRENT_USER, kSettingsKey, "width", &type, &data) ||
                   type != REG_DWORD || data.size() != 4)
                   return "the setting was lost";
               int value = *(const int*)data.data();
               return value == 9 ? "" : value == 7 ? "failure" : "the setting holds " + std::to_string(value);
           }});
}

TEST_F(FaultSweepTest, SourceTextRoadsAfterTheEdit)
{
    // A file held past the module's bound, and an edit kept, each show a box.
    BoxCatcher catcher;
    ShowFirstBoxes();
    // One edit, the editor gone: what a host does afterwards.
    NextLog();
    ASSERT_EQ(Call("startEdit", {StringArg(workDir), StringArg("<p>before</p>")}).number, 1);
    ASSERT_TRUE(WaitEditorExit(logPath));
    ASSERT_TRUE(WaitWatcherEnded());
    const std::string saved = std::string(3000, 'x') + "<p>saved</p>";
    Sweep({"updated", [&] {},
           [&] { return Call("updated"); },
           [](const Delivery& d) -> std::string {
               // Not knowing the time, "changed" is the answer that loses nothing.
               if (d.kind != kDeliveredBool)
                   return "delivered no boolean";
               return d.number == 0 ? "" : "failure";
           }});
    // The whole text or nothing.
    auto delivers = [](const std::string& expected) {
        return [expected](const Delivery& d) -> std::string {
            if (d.kind == kDeliveredNothing)
                return "failure";
            if (d.kind != kDeliveredString)
                return "delivered no text";
            return d.text == expected ? "" : "delivered " + std::to_string(d.text.size()) + " bytes, not " +
                                                 std::to_string(expected.size());
        };
    };
    Sweep({"getEdit", [&] { WriteFileBytes(TempFile(), saved); }, [&] { return Call("getEdit"); },
           delivers(saved)});
    // Saved in UTF-8 with its mark, with characters the code page lacks
    // here and there: both conversions, and the runs halved down to those
    // characters.
    const std::string utf8 = "\xEF\xBB\xBF" + std::string(200, 'x') + "caf\xC3\xA9 \xE4\xB8\xAD" +
                             std::string(200, 'y') + "\xF0\x9F\x98\x80";
    const std::string host = std::string(200, 'x') + "caf\xE9 &#20013;" + std::string(200, 'y') + "&#128512;";
    Sweep({"getEdit utf8", [&] { WriteFileBytes(TempFile(), utf8); }, [&] { return Call("getEdit"); },
           delivers(host)});
    Sweep({"getEdit 0", [&] { WriteFileBytes(TempFile(), ""); },
           [&] { return Call("getEdit"); },
           [&](const Delivery& d) -> std::string {
               if (d.kind == kDeliveredNothing)
                   return "failure";
               return d.kind == kDeliveredString && d.text.empty() ? "" : "delivered something else";
           }});
    Sweep({"endEdit", [&] { WriteFileBytes(TempFile(), saved); },
           [&] { return Call("endEdit"); },
           [&](const Delivery& d) -> std::string {
               if (d.returnCalls != 0)
                   return "endEdit delivered something";
               bool exists = true;
               std::string left = ReadFileBytes(TempFile(), &exists);
               return !exists ? "" : left == saved ? "failure" : "the file was changed";
           }});
    // After a "getEdit" that could not read the file, the saved edit is
    // kept under a name of its own, or left where it is: never deleted.
    bool existsAtEnd = false;
    std::string leftAtEnd;
    std::vector<std::string> keptAtEnd;
    Sweep({"endEdit unread",
           [&] {
               WriteFileBytes(TempFile(), saved);
               PlanFaults(kFaultFromNth, 1);
               Call("getEdit");
               PlanFaults(kFaultNone, 0);
           },
           [&] {
               Delivery d = Call("endEdit");
               // Seen before the settling removes what was kept.
               leftAtEnd = ReadFileBytes(TempFile(), &existsAtEnd);
               keptAtEnd.clear();
               for (const std::string& name : FilesMatching(workDir, "QuillhavenTemp-*.html"))
                   keptAtEnd.push_back(ReadFileBytes(workDir + "\\" + name));
               return d;
           },
           [&](const Delivery& d) -> std::string {
               if (d.returnCalls != 0)
                   return "endEdit delivered something";
               if (keptAtEnd.size() > 1 || (existsAtEnd && !keptAtEnd.empty()))
                   return "the edit was kept twice";
               if (keptAtEnd.size() == 1)
                   return keptAtEnd[0] == saved ? "" : "the kept file was changed";
               return !existsAtEnd ? "the edit the host could not read was deleted"
                                   : leftAtEnd == saved ? "failure" : "the file was changed";
           },
           [&] {
               for (const std::string& name : FilesMatching(workDir, "QuillhavenTemp-*.html"))
                   DeleteFileA((workDir + "\\" + name).c_str());
           }});
}

TEST_F(FaultSweepTest, DrawRoad)
{
    BITMAPINFO info;
    ZeroMemory(&info, sizeof(info));
    info.bmiHeader.biSize = sizeof(info.bmiHeader);
    info.bmiHeader.biWidth = 40;
    info.bmiHeader.biHeight = -40;
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = 32;
    DWORD* pixels = NULL;
    HDC dc = CreateCompatibleDC(NULL);
    HBITMAP dib = CreateDIBSection(dc, &info, DIB_RGB_COLORS, (void**)&pixels, NULL, 0);
    HGDIOBJ previous = SelectObject(dc, dib);
    DrawTarget target = {dc, 0, 0, 40, 40};
    Sweep({"draw", [&] {},
           [&] { return Call("draw", {IntArg((int)(INT_PTR)&target)}); },
           [](const Delivery& d) -> std::string { return d.returnCalls == 0 ? "" : "draw delivered something"; }});
    SelectObject(dc, previous);
    DeleteObject(dib);
    DeleteDC(dc);
}

// The roads that start the editor: a dialog of the host's own with an OK
// control for the watcher to click, and an editor that edits only when told.
class WatchedRoadsTest : public FaultSweepTest {
protected:
    // What a host saw of one edit through the watcher.
    struct Watched {
        size_t early = 0;   // clicks that came while the editor still ran
        size_t clicks = 0;  // clicks in all
        bool editorEnded = false;
        bool watcherEnded = false;
    };

    std::string file;
    std::string edited = "<p>after</p>";
    TestDialog dialog;
    BoxCatcher catcher;  // the not-found box, shown on many failures
    NamedEvent go{"go"};

    void SetUp() override
    {
        FaultSweepTest::SetUp();
        dialog.AddButton(dialog.window, "OK", IDOK);
        file = workDir + "\\page.html";
        SetEditorScript("QH_EDITOR_ACTION", "replace");
        SetEditorScript("QH_EDITOR_TEXT", edited);
        WarmUp();
    }

    // The boxes before the first count, and the threads there are then.
    void WarmUp()
    {
        ShowFirstBoxes();
        baselineThreads = CountThreads();
    }

    // A fresh editor that edits once go is set, and a dialog with no clicks.
    void NextEditor()
    {
        ResetEvent(go.handle);
        NextLog();
        SetEditorScript("QH_EDITOR_GO", go.name);
        TestDialog::Received().clear();
    }

    // Once the editor has started: waits until the watcher is in its wait
    // for the editor or has ended without it, lets the editor finish, and
    // waits for the watcher's end. A click the watcher posted before the
    // editor was let go is counted as early.
    Watched LetEditorFinish()
    {
        Watched w;
        PumpUntil([&] {
            if (CountThreads() <= baselineThreads)
                return true;
            return WatcherWaits(CallsByName()) > WatcherWaits(FaultsByName());
        });
        PumpUntil([] { return false; }, 0);
        w.early = TestDialog::Received().size();
        go.Set();
        w.editorEnded = WaitEditorExit(logPath);
        w.watcherEnded = WaitWatcherEnded();
        PumpUntil([] { return false; }, 0);
        w.clicks = TestDialog::Received().size();
        return w;
    }

    void FileEditRoad(const char* name);
    // given: what the editor must be given of the host's text; saved: what
    // it saves; back: what "getEdit" must deliver of that.
    void SourceEditRoad(const char* name, const std::string& given, const std::string& leftover,
                        const std::string& saved, const std::string& back);

    // The files an edit never read back was kept as, by name.
    std::vector<std::string> KeptFiles() { return FilesMatching(workDir, "QuillhavenTemp-*.html"); }

    // The rules of every edit the editor was started for.
    static std::string JudgeWatch(const Watched& w, int faults)
    {
        if (!w.editorEnded)
            return "the editor did not end";
        if (!w.watcherEnded)
            return "the watcher did not end";
        if (w.early != 0)
            return "the dialog was clicked while the editor ran";
        if (w.clicks > 1)
            return "the dialog was clicked " + std::to_string(w.clicks) + " times";
        if (w.clicks == 0)
            return faults != 0 ? "ok: no click (the user clicks OK)" : "nothing clicked the dialog";
        return "";
    }
};

// Through an uninstall entry, and through the program and arguments the
// user named, each a string the module reads.
TEST_F(WatchedRoadsTest, AFileEditThroughTheWatchersClick)
{
    FileEditRoad("run");
    SetEditorScript("QH_SWEEP_TOOLS", installDir);
    SetEditorPath("%QH_SWEEP_TOOLS%\\Scrivlet.exe", REG_EXPAND_SZ);
    SetEditorArguments("\"%1\" -n");
    FileEditRoad("run named");
    SetEnvironmentVariableA("QH_SWEEP_TOOLS", NULL);
}

void WatchedRoadsTest::FileEditRoad(const char* name)
{
    Watched w;
    int faults = 0;
    Delivery updated;
    Sweep({name,
           [&] {
               WriteFileBytes(file, "<p>before</p>");
               NextEditor();
           },
           [&] {
               w = Watched();
               updated = Delivery();
               Delivery d = Call("run", {StringArg(file)});
               if (d.number != 0) {
                   w = LetEditorFinish();
                   updated = Call("updated");
               }
               faults = FaultsMade();
               return d;
           },
           [&](const Delivery& d) -> std::string {
               if (d.kind != kDeliveredBool)
                   return "delivered no boolean";
               if (d.number == 0) {
                   PumpUntil([] { return false; }, 0);
                   return TestDialog::Received().empty() ? "failure" : "clicked with no editor started";
               }
               if (updated.kind != kDeliveredBool || updated.number == 0)
                   return "\"updated\" did not answer that the edited file changed";
               return JudgeWatch(w, faults);
           },
           [&] { host.exit(); }});
}

// The host's text of the source edits, what the editor must be given of it, and what it must
// get back once the editor saved.
static const std::string kOriginal = std::string(2000, 'o') + "<p>before \xE9</p>";

TEST_F(WatchedRoadsTest, ASourceEditFromStartToEnd)
{
    SourceEditRoad("source edit", kOriginal, "", edited, edited);
}

// The editor given UTF-8 with its mark, saving UTF-8 with a character the
// host's code page lacks, over an edit that an earlier host never read
// back: the text's conversions both ways, and the leftover's rename, its
// name search and its box.
TEST_F(WatchedRoadsTest, ASourceEditInUtf8OverAnEditNeverReadBack)
{
    if (GetACP() != 1252)
        GTEST_SKIP() << "the host's code page here is " << GetACP() << ", and the texts are written for 1252";
    SetRawValue(HKEY_CURRENT_USER, kSettingsKey, "EditorEncoding", REG_SZ, "UTF-8", 6);
    SetEditorScript("QH_EDITOR_TEXT", "\\xEF\\xBB\\xBF<p>caf\\xC3\\xA9 \\xE4\\xB8\\xAD</p>");
    SourceEditRoad("source kept", "\xEF\xBB\xBF" + std::string(2000, 'o') + "<p>before \xC3\xA9</p>",
                   "<p>saved, never read back</p>", "\xEF\xBB\xBF<p>caf\xC3\xA9 \xE4\xB8\xAD</p>",
                   "<p>caf\xE9 &#20013;</p>");
}

void WatchedRoadsTest::SourceEditRoad(const char* name, const std::string& given, const std::string& leftover,
                                      const std::string& saved, const std::string& back)
{
    const std::string& original = kOriginal;
    Watched w;
    int faults = 0;
    Delivery updated, text, afterFailure;
    bool startedWith = false, leftAfterStart = false, leftAtEnd = false;
    std::string written, remains;
    std::vector<std::string> kept;
    std::string keptBytes;
    std::vector<std::string> keptAtEnd;  // what endEdit kept, beside what startEdit kept
    Sweep({name,
           [&] {
               DeleteFileA(TempFile().c_str());
               if (!leftover.empty())
                   WriteFileBytes(TempFile(), leftover);
               NextEditor();
           },
           [&] {
               w = Watched();
               updated = text = Delivery();
               keptAtEnd.clear();
               Delivery d = Call("startEdit", {StringArg(workDir), StringArg(original)});
               // Before the editor is let go, what startEdit left is its own.
               written = ReadFileBytes(TempFile(), &leftAfterStart);
               startedWith = d.number != 0;
               kept = KeptFiles();
               keptBytes = kept.size() == 1 ? ReadFileBytes(workDir + "\\" + kept[0]) : "";
               if (startedWith) {
                   w = LetEditorFinish();
                   updated = Call("updated");
                   text = Call("getEdit");
                   Call("endEdit");
                   remains = ReadFileBytes(TempFile(), &leftAtEnd);
                   for (const std::string& name : KeptFiles())
                       if (std::find(kept.begin(), kept.end(), name) == kept.end())
                           keptAtEnd.push_back(ReadFileBytes(workDir + "\\" + name));
               }
               faults = FaultsMade();
               return d;
           },
           [&](const Delivery& d) -> std::string {
               if (d.kind != kDeliveredBool)
                   return "startEdit delivered no boolean";
               // The edit no host read back is never lost: it is where it
               // was, whole, or kept whole under one name of its own.
               if (!leftover.empty()) {
                   bool inPlace = leftAfterStart && written == leftover;
                   if (kept.size() > 1)
                       return std::to_string(kept.size()) + " kept files for one leftover";
                   if (kept.size() == 1 && keptBytes != leftover)
                       return "the kept file does not hold the leftover";
                   if (kept.empty() && !inPlace)
                       return "the edit never read back was lost";
                   if (kept.size() == 1 && inPlace)
                       return "the leftover was both kept and left";
               }
               if (!startedWith) {
                   PumpUntil([] { return false; }, 0);
                   if (!TestDialog::Received().empty())
                       return "clicked with no editor started";
                   // A host that asks for the text all the same gets the
                   // whole of it or nothing.
                   if (afterFailure.kind != kDeliveredNothing && afterFailure.text != original &&
                       afterFailure.text != leftover)
                       return "getEdit after a failed startEdit delivered " +
                              std::to_string(afterFailure.text.size()) + " bytes";
                   if (leftAfterStart && written != given && written != leftover)
                       return faults > 1 ? "ok: a part left where its removal failed too, never delivered"
                                         : "startEdit left " + std::to_string(written.size()) + " of " +
                                               std::to_string(original.size()) + " bytes";
                   return "failure";
               }
               if (!leftover.empty() && kept.size() != 1)
                   return "the editor was started over the edit never read back";
               if (written != given)
                   return "the editor was given " + std::to_string(written.size()) + " bytes, not " +
                          std::to_string(given.size());
               std::string watch = JudgeWatch(w, faults);
               if (watch != "" && watch.rfind("ok: ", 0) != 0)
                   return watch;
               if (updated.kind != kDeliveredBool || updated.number == 0)
                   return "\"updated\" did not answer that the edited text changed";
               if (text.kind == kDeliveredString && text.text != back)
                   return "getEdit delivered " + std::to_string(text.text.size()) + " bytes, not the edit";
               if (text.kind != kDeliveredString && text.kind != kDeliveredNothing)
                   return "getEdit delivered no text";
               if (leftAtEnd && remains != saved)
                   return "endEdit changed the file";
               // A save the host could not read back outlives the edit.
               if (text.kind == kDeliveredNothing && !leftAtEnd &&
                   (keptAtEnd.size() != 1 || keptAtEnd[0] != saved))
                   return "the save getEdit could not read was deleted";
               if (text.kind == kDeliveredString && !keptAtEnd.empty())
                   return "endEdit kept an edit the host had read";
               if (text.kind == kDeliveredNothing || leftAtEnd)
                   return "failure";
               return watch;
           },
           [&] {
               afterFailure = Delivery();
               if (!startedWith) {
                   afterFailure = Call("getEdit");
                   Call("endEdit");
               }
               host.exit();
               DeleteFileA(TempFile().c_str());
               for (const std::string& name : KeptFiles())
                   DeleteFileA((workDir + "\\" + name).c_str());
           }});
}

TEST_F(WatchedRoadsTest, TheHostsExitWithAWatcherWaiting)
{
    Watched w;
    bool editorOutlivedExit = false;
    Sweep({"exit",
           [&] {
               WriteFileBytes(file, "<p>before</p>");
               NextEditor();
               PlanFaults(kFaultNone, 0);
               ASSERT_EQ(Call("run", {StringArg(file)}).number, 1);
               // The watcher waits on the editor.
               ASSERT_TRUE(PumpUntil([] { return WatcherWaits(CallsByName()) > 0; }));
           },
           [&] {
               host.exit();
               // The editor waits for go, or two minutes: an exit that
               // waited for the editor returns after it has ended.
               HANDLE editor = OpenProcess(SYNCHRONIZE, FALSE, EditorPid(logPath));
               editorOutlivedExit = editor != NULL && WaitForSingleObject(editor, 0) == WAIT_TIMEOUT;
               if (editor != NULL)
                   CloseHandle(editor);
               // Whatever the exit met, the editor goes on; its end clicks nothing.
               go.Set();
               w = Watched();
               w.editorEnded = WaitEditorExit(logPath);
               w.watcherEnded = WaitWatcherEnded();
               PumpUntil([] { return false; }, 0);
               w.clicks = TestDialog::Received().size();
               return Delivery();
           },
           [&](const Delivery&) -> std::string {
               if (!editorOutlivedExit)
                   return "the host's exit waited for the editor to end";
               if (!w.editorEnded)
                   return "the editor did not end";
               if (!w.watcherEnded)
                   return "the watcher outlived the editor";
               return w.clicks == 0 ? "" : "the dialog was clicked after the host's exit";
           }});
}
