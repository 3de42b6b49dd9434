#include "Core_Common/InterfaceConnectorCommon.h"
#include "Core_Common/Log.h"
#include "Core_Common/Singleton.h"
#include "Core_SocketARP/SocketARP.h"
#include "fakes/CodeThrownBy.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using namespace Core_Common::InterfaceConnectorCommon;
using testing::ElementsAre;
using tw_test::CodeThrownBy;

std::vector<std::string> calls;

// A module implementation that counts its live instances.
struct Recorded {
    static inline int live = 0;
    Recorded() { ++live; }
    ~Recorded() { --live; }
};

template <char Name> struct RecordingModule {
    static inline Recorded* instance = nullptr;
    static void Create() {
        calls.push_back(std::string("create ") + Name);
        Core_Common::create_instance(instance);
    }
    static void Destroy() {
        calls.push_back(std::string("destroy ") + Name);
        Core_Common::destroy_instance(instance);
    }
    static void Startup() { calls.push_back(std::string("startup ") + Name); }
    static void Shutdown() { calls.push_back(std::string("shutdown ") + Name); }
};

using ModuleA = RecordingModule<'A'>;
using ModuleB = RecordingModule<'B'>;
using ModuleC = RecordingModule<'C'>;

class ModuleRegistryTest : public testing::Test {
protected:
    void SetUp() override {
        calls.clear();
        ASSERT_FALSE(RegistryExists());
    }
    void TearDown() override {
        if (RegistryExists()) {
            ReleaseModules();
        }
    }
    static void RegisterThree() {
        CreateRegistry();
        RegisterModule<ModuleA>("Test::ModuleA");
        RegisterModule<ModuleB>("Test::ModuleB");
        RegisterModule<ModuleC>("Test::ModuleC");
    }
};

TEST_F(ModuleRegistryTest, PhasesRunInRegistrationOrderAndDestroyInReverse) {
    RegisterThree();
    CreateModules();
    StartupModules();
    ShutdownModules();
    ReleaseModules();
    EXPECT_THAT(calls, ElementsAre("create A", "create B", "create C", "startup A", "startup B",
                                   "startup C", "shutdown A", "shutdown B", "shutdown C",
                                   "destroy C", "destroy B", "destroy A"));
}

TEST_F(ModuleRegistryTest, ReleaseLeavesNoRegistryAndNoInstance) {
    RegisterThree();
    CreateModules();
    EXPECT_NE(ModuleA::instance, nullptr);
    EXPECT_EQ(Recorded::live, 3);
    ReleaseModules();
    EXPECT_FALSE(RegistryExists());
    EXPECT_EQ(ModuleA::instance, nullptr);
    EXPECT_EQ(ModuleB::instance, nullptr);
    EXPECT_EQ(ModuleC::instance, nullptr);
    EXPECT_EQ(Recorded::live, 0);
}

TEST_F(ModuleRegistryTest, CreateTwiceLeavesExactlyOneInstance) {
    ModuleA::Create();
    Recorded* first = ModuleA::instance;
    ModuleA::Create();
    EXPECT_EQ(Recorded::live, 1);
    EXPECT_NE(ModuleA::instance, nullptr);
    (void)first;
    ModuleA::Destroy();
    ModuleA::Destroy(); // safe when absent
    EXPECT_EQ(Recorded::live, 0);
    EXPECT_EQ(ModuleA::instance, nullptr);
}

TEST_F(ModuleRegistryTest, MisuseThrowsTheIntegerZero) {
    EXPECT_EQ(CodeThrownBy<int>(&StartupModules), 0);
    EXPECT_EQ(CodeThrownBy<int>(&ShutdownModules), 0);
    EXPECT_EQ(CodeThrownBy<int>(&ReleaseModules), 0);
    EXPECT_EQ(CodeThrownBy<int>(&CreateModules), 0);
    EXPECT_EQ(CodeThrownBy<int>([] { RegisterModule<ModuleA>("Test::ModuleA"); }), 0);
    EXPECT_TRUE(calls.empty());

    CreateRegistry();
    EXPECT_EQ(CodeThrownBy<int>(&CreateRegistry), 0);
    EXPECT_TRUE(RegistryExists());
}

TEST_F(ModuleRegistryTest, ProgramModulesComeAndGoWithThePhases) {
    InitializeModules();
    EXPECT_NE(Core_Common::InterfaceLog::instance, nullptr);
    ASSERT_NE(Core_SocketARP::InterfaceSocketARP::instance, nullptr);
    EXPECT_FALSE(Core_SocketARP::InterfaceSocketARP::instance->running);
    StartupModules();
    EXPECT_FALSE(Core_SocketARP::InterfaceSocketARP::started); // the handler starts it
    ShutdownModules();
    EXPECT_NE(Core_Common::InterfaceLog::instance, nullptr);
    ReleaseModules();
    EXPECT_FALSE(RegistryExists());
    EXPECT_EQ(Core_Common::InterfaceLog::instance, nullptr);
    EXPECT_EQ(Core_SocketARP::InterfaceSocketARP::instance, nullptr);
}

} // namespace
