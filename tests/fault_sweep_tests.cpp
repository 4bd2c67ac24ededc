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

static std::string Describe(const Held& h)
{
    return std::to_string(h.handles) + " handles, " + std::to_string(h.blocks) + " blocks, " +
           std::to_string(h.gdi) + " GDI objects, " + std::to_string(h.threads) + " threads, in " + h.cwd;
}

class FaultSweepTest : public EditorTest {
protected:
    // A road: arrange, call (what a host does), and judge: "" when the
    // answer is the success answer, "failure" when it is the road's failure
    // answer, anything else names what is wrong.
    struct Road {
        const char* name;
        std::function<void()> arrange;
        std::function<Delivery()> call;
        std::function<std::string(const Delivery&)> judge;
    };

    void SetUp() override
    {
        g_onPluginLoaded = GuardAndInject;
        EditorTest::SetUp();
        DeleteKeyTree(HKEY_CURRENT_USER, kSettingsKey);
    }
    void TearDown() override
    {
        PlanFaults(kFaultNone, 0);
        EditorTest::TearDown();
        DeleteKeyTree(HKEY_CURRENT_USER, kSettingsKey);
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
        EXPECT_EQ(road.judge(clean), "") << road.name << " without a fault";

        const struct {
            FaultMode mode;
            const char* name;
        } modes[] = {{kFaultNth, "n-th fails"}, {kFaultFromNth, "from n-th on"}, {kShortNth, "n-th short"}};
        std::map<std::string, int> outcomes;
        std::string tried;
        for (const auto& m : modes) {
            int points = 0;
            for (int n = 1;; n++) {
                road.arrange();
                Held before = Now();
                PlanFaults(m.mode, n);
                Delivery d = road.call();
                int made = m.mode == kShortNth ? ShortableCalls() : FallibleCalls();
                std::string failed = FaultedCall();
                PlanFaults(kFaultNone, 0);
                if (made < n)
                    break;
                points++;
                std::string where = std::string(road.name) + ", " + m.name + ", n=" + std::to_string(n) +
                                    (failed.empty() ? "" : " (" + failed + ")");
                std::string verdict = road.judge(d);
                if (verdict != "" && verdict != "failure")
                    ADD_FAILURE() << where << ": " << verdict;
                outcomes[verdict == "" ? "success answer" : "failure answer"]++;
                Held after = Now();
                EXPECT_EQ(Describe(after), Describe(before)) << where << ": something is held or moved";
            }
            tried += std::string(tried.empty() ? "" : ", ") + std::to_string(points) + " " + m.name;
        }
        std::string kinds;
        for (const auto& o : outcomes)
            kinds += (kinds.empty() ? "" : ", ") + std::to_string(o.second) + " " + o.first;
        printf("%-10s %3d fallible calls (%d can answer short); tried %s; %s\n", road.name, calls,
               shortable, tried.c_str(), kinds.c_str());
    }

    std::string TempFile() { return workDir + "\\QuillhavenTemp.html"; }
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
    Sweep({"getEdit", [&] { WriteFileBytes(TempFile(), saved); },
           [&] { return Call("getEdit"); },
           [&](const Delivery& d) -> std::string {
               if (d.kind == kDeliveredNothing)
                   return "failure";
               if (d.kind != kDeliveredString)
                   return "delivered no text";
               return d.text == saved ? "" : "delivered " + std::to_string(d.text.size()) + " of " +
                                                 std::to_string(saved.size()) + " bytes";
           }});
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
