// What a host sees of the module's boundary: the handlers it defines, in
// which order, through which table, and what the exports answer.
#include "support.h"

#include <string>
#include <vector>

static std::vector<std::string> Names(const PluginHost& host)
{
    std::vector<std::string> names;
    for (const DefinedHandler& h : host.handlers)
        names.push_back(h.name);
    return names;
}

static const std::vector<std::string> kHandlerOrder = {
    "get", "set", "run", "updated", "draw", "startEdit", "getEdit", "endEdit"};

TEST_F(PluginTest, EntryDefinesTheEightHandlersInOrderAndAnswersTheLastDefinition)
{
    EXPECT_EQ(Names(host), kHandlerOrder);
    // DefineHandler answered 100..107; the entry hands back the last answer.
    PluginHost again;
    std::string error;
    ASSERT_TRUE(LoadPlugin(&again, ModulePath().c_str(), &error)) << error;
    again.defineResult = 40;
    EXPECT_EQ(again.entry(&again.table), 47);
    again.exit();
    UnloadPlugin(&again);
}

TEST_F(PluginTest, MainDefinesTheHandlersAgainWithTheRecordedTable)
{
    host.handlers.clear();
    host.defineResult = 7;
    EXPECT_EQ(host.main(), 14);
    EXPECT_EQ(Names(host), kHandlerOrder);
}

TEST_F(PluginTest, SecondEntryWithAnotherTableTakesOverEveryCall)
{
    PluginHost other;
    InitHostTable(&other);
    other.returnToken = 0x7777;
    EXPECT_EQ(host.entry(&other.table), 107);
    EXPECT_EQ(Names(other), kHandlerOrder);

    // The module now delivers through the second table, whichever table the
    // host used to find the handler.
    Delivery d = Call("get", {StringArg("dialogtitle")});
    EXPECT_EQ(d.kind, kDeliveredString);
    EXPECT_EQ(d.handlerResult, 0x7777);
    EXPECT_EQ(host.reservedCalls + other.reservedCalls, 0);
}

TEST_F(PluginTest, DeliveringHandlersHandBackWhatTheReturnOperationAnswered)
{
    host.returnToken = 0x1234;
    EXPECT_EQ(Call("get", {StringArg("versionstring")}).handlerResult, 0x1234);
    EXPECT_EQ(Call("get", {StringArg("no-such-setting-here")}).handlerResult, 0x1234);
    EXPECT_EQ(Call("updated").handlerResult, 0x1234);
}

TEST_F(PluginTest, HandlersWithoutArgumentsIgnoreWhatTheyAreGiven)
{
    Delivery d = Call("updated", {StringArg("ignored"), IntArg(99)});
    EXPECT_EQ(d.kind, kDeliveredBool);
    EXPECT_EQ(d.number, 0);
    EXPECT_EQ(d.returnCalls, 1);
}

TEST_F(PluginTest, ExitWithNoWatcherDoesNothingAndCanBeRepeated)
{
    int before = CountHandles();
    host.exit();
    host.exit();
    EXPECT_EQ(CountHandles(), before);
    EXPECT_EQ(host.reservedCalls, 0);
}

TEST(PluginLoad, ModuleLoadsAndUnloadsRepeatedlyWithoutLeakingHandles)
{
    for (int round = 0; round < 2; round++) {
        PluginHost host;
        std::string error;
        ASSERT_TRUE(LoadPlugin(&host, ModulePath().c_str(), &error)) << error;
        host.entry(&host.table);
        host.exit();
        UnloadPlugin(&host);
    }
    int before = CountHandles();
    for (int round = 0; round < 10; round++) {
        PluginHost host;
        std::string error;
        ASSERT_TRUE(LoadPlugin(&host, ModulePath().c_str(), &error)) << error;
        host.entry(&host.table);
        Delivery d;
        CallHandler(&host, "get", {StringArg("some-setting")}, &d);
        host.exit();
        UnloadPlugin(&host);
    }
    EXPECT_EQ(CountHandles(), before);
}
