// The device's persistent upgrade state: the three values in the property store, their
// defaults, reads and writes through a fresh store each time, failures, and durability.
#include <propidl.h>
#include <winplat/debugout.h>
#include <sqlite3.h>
#include <spawn.h>
#include <sys/wait.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>

#include "DevicePeer.h"
#include "TestMachine.h"
#include "HResultPrinter.h"
#include "PersistedValues.h"

extern char** environ;

namespace brelk::test {
namespace {

constexpr HRESULT kNotFound = static_cast<HRESULT>(0x80070002);

// The states the host, the tools and the tests name are the ones the driver writes.
static_assert(persisted::kStateNone == PROGRESS_NONE);
static_assert(persisted::kStatePending == PROGRESS_PENDING);
static_assert(persisted::kStateDownloading == PROGRESS_DOWNLOADING);
static_assert(persisted::kStateCompleted == PROGRESS_COMPLETED);
static_assert(persisted::kStateFailed == PROGRESS_FAILED);
static_assert(persisted::kStateRetriesExhausted == PROGRESS_RETRIES_EXHAUSTED);
constexpr HRESULT kTypeMismatch = HRESULT_FROM_WIN32(ERROR_DATATYPE_MISMATCH);

class StateTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(std::filesystem::is_directory(m_Machine.Folder()));
        ASSERT_HR(S_OK, m_Machine.StartAttachedDevice({.BusyTimeoutMs = 50}));
    }
    void TearDown() override { m_Machine.Stop(); }

    DevicePeer* Device() { return m_Machine.Device(); }
    IWDFDevice* Fx() { return m_Machine.FxDevice(); }
    std::string DbPath() const { return m_Machine.DbPath(); }

    // Writes a value straight into the device's hardware key, as a user or an older
    // driver could have left it.
    void Stage(const wchar_t* name, const PROPVARIANT& value) {
        WDF_PROPERTY_STORE_ROOT root = {};
        root.LengthCb = sizeof(root);
        root.RootClass = WdfPropertyStoreRootClassHardwareKey;
        IWDFNamedPropertyStore2* store = nullptr;
        ASSERT_HR(S_OK, m_Machine.Store()->RetrieveNamedStore(
                            kModemInstance, &root, WdfPropertyStoreCreateIfMissing,
                            KEY_READ | KEY_SET_VALUE, nullptr, &store, nullptr));
        ASSERT_HR(S_OK, store->SetNamedValue(name, &value));
        store->Release();
    }
    void Unstage(const wchar_t* name) {
        WDF_PROPERTY_STORE_ROOT root = {};
        root.LengthCb = sizeof(root);
        root.RootClass = WdfPropertyStoreRootClassHardwareKey;
        IWDFNamedPropertyStore2* store = nullptr;
        ASSERT_HR(S_OK, m_Machine.Store()->RetrieveNamedStore(kModemInstance, &root,
                                                              WdfPropertyStoreNormal, KEY_SET_VALUE,
                                                              nullptr, &store, nullptr));
        ASSERT_HR(S_OK, store->DeleteNamedValue(name));
        store->Release();
    }
    void StageNumber(const wchar_t* name, ULONG n) {
        PROPVARIANT v;
        PropVariantInit(&v);
        v.vt = VT_UI4;
        v.ulVal = n;
        Stage(name, v);
    }
    void StageText(const wchar_t* name, const wchar_t* text) {
        PROPVARIANT v;
        PropVariantInit(&v);
        v.vt = VT_LPWSTR;
        v.pwszVal = const_cast<wchar_t*>(text);
        Stage(name, v);
    }
    VARTYPE StoredType(const wchar_t* name) {
        VARTYPE vt = VT_ILLEGAL;
        EXPECT_HR(S_OK,
                  m_Machine.Store()->StoredValueType(kModemInstance, L"HardwareKey", name, &vt));
        return vt;
    }

    Machine m_Machine{"state"};
};

TEST_F(StateTest, FirstSeenDeviceGetsTheThreeDefaults) {
    EXPECT_HR(S_OK, Device()->InitializeUpgradeState(Fx()));

    // Under the names the host and the tools read.
    EXPECT_EQ(StoredType(persisted::kProgressStateName), VT_UINT);
    EXPECT_EQ(StoredType(persisted::kRetryCounterName), VT_UINT);
    EXPECT_EQ(StoredType(persisted::kPrevFwVersionName), VT_LPSTR);
    UCHAR state = 0xA5, counter = 0xA5;
    char version[100];
    memset(version, 'x', sizeof(version));
    EXPECT_HR(S_OK, Device()->ReadProgressState(Fx(), &state));
    EXPECT_HR(S_OK, Device()->ReadRetryCounter(Fx(), &counter));
    EXPECT_HR(S_OK, Device()->ReadPrevFwVersion(Fx(), version, sizeof(version)));
    EXPECT_EQ(state, 0);
    EXPECT_EQ(counter, 0);
    EXPECT_STREQ(version, "0.0");
}

TEST_F(StateTest, ExistingValuesAreNeverReplaced) {
    StageText(L"FWUpdateProgressState", L"2");
    StageNumber(L"FWURetryCounter", 9);
    StageNumber(L"PrevFwVersion", 7);

    // The last value handled answers for the whole operation.
    EXPECT_HR(S_OK, Device()->InitializeUpgradeState(Fx()));

    EXPECT_EQ(StoredType(L"FWUpdateProgressState"), VT_LPWSTR);
    EXPECT_EQ(StoredType(L"PrevFwVersion"), VT_UI4);
    UCHAR counter = 0;
    EXPECT_HR(S_OK, Device()->ReadRetryCounter(Fx(), &counter));
    EXPECT_EQ(counter, 9);
}

TEST_F(StateTest, WritesStoreZeroExtendedNumbersAndTextThatReadsBack) {
    const UCHAR state = 200, counter = 3;
    ASSERT_HR(S_OK, Device()->WriteProgressState(Fx(), &state));
    ASSERT_HR(S_OK, Device()->WriteRetryCounter(Fx(), &counter));
    ASSERT_HR(S_OK, Device()->WritePrevFwVersion(Fx(), "11.2.3"));
    EXPECT_EQ(StoredType(L"FWUpdateProgressState"), VT_UINT);
    EXPECT_EQ(StoredType(L"PrevFwVersion"), VT_LPWSTR);

    UCHAR readState = 0, readCounter = 0;
    char version[100] = {};
    EXPECT_HR(S_OK, Device()->ReadProgressState(Fx(), &readState));
    EXPECT_HR(S_OK, Device()->ReadRetryCounter(Fx(), &readCounter));
    EXPECT_HR(S_OK, Device()->ReadPrevFwVersion(Fx(), version, sizeof(version)));
    EXPECT_EQ(readState, 200);
    EXPECT_EQ(readCounter, 3);
    EXPECT_STREQ(version, "11.2.3");
}

TEST_F(StateTest, EveryOperationOpensItsOwnStoreAndReleasesIt) {
    UCHAR byte = 1;
    char version[100];
    struct Op {
        const char* name;
        std::function<HRESULT()> run;
        long stores;  // a version write reads the value back through a store of its own
    } ops[] = {
        {"InitializeUpgradeState", [&] { return Device()->InitializeUpgradeState(Fx()); }, 1},
        {"WriteProgressState", [&] { return Device()->WriteProgressState(Fx(), &byte); }, 1},
        {"ReadProgressState", [&] { return Device()->ReadProgressState(Fx(), &byte); }, 1},
        {"WriteRetryCounter", [&] { return Device()->WriteRetryCounter(Fx(), &byte); }, 1},
        {"ReadRetryCounter", [&] { return Device()->ReadRetryCounter(Fx(), &byte); }, 1},
        {"WritePrevFwVersion", [&] { return Device()->WritePrevFwVersion(Fx(), "1.0"); }, 2},
        {"ReadPrevFwVersion",
         [&] { return Device()->ReadPrevFwVersion(Fx(), version, sizeof(version)); }, 1},
    };
    for (const auto& op : ops) {
        SCOPED_TRACE(op.name);
        const long before = m_Machine.Store()->NamedStoresOpened();
        EXPECT_HR(S_OK, op.run());
        EXPECT_EQ(m_Machine.Store()->NamedStoresOpened() - before, op.stores);
        EXPECT_EQ(m_Machine.Store()->NamedStoresAlive(), 0);
    }
}

TEST_F(StateTest, ReadsTakeTheLowByteAndLeaveTheOutputAloneOnFailure) {
    StageNumber(L"FWUpdateProgressState", 300);
    StageText(L"FWURetryCounter", L"1");

    UCHAR state = 0xA5, counter = 0xA5;
    EXPECT_HR(S_OK, Device()->ReadProgressState(Fx(), &state));
    EXPECT_EQ(state, 44);
    EXPECT_HR(kTypeMismatch, Device()->ReadRetryCounter(Fx(), &counter));
    EXPECT_EQ(counter, 0xA5);
    char version[100];
    memset(version, 'x', sizeof(version));
    // A previous version that is not text reads as an empty one: nothing decides on it.
    StageNumber(L"PrevFwVersion", 12);
    EXPECT_HR(S_OK, Device()->ReadPrevFwVersion(Fx(), version, sizeof(version)));
    EXPECT_STREQ(version, "");
    version[0] = 'x';

    // Missing values: 0x80070002, output untouched.
    Unstage(L"FWUpdateProgressState");
    Unstage(L"FWURetryCounter");
    Unstage(L"PrevFwVersion");
    EXPECT_HR(kNotFound, Device()->ReadProgressState(Fx(), &state));
    EXPECT_HR(kNotFound, Device()->ReadRetryCounter(Fx(), &counter));
    EXPECT_HR(kNotFound, Device()->ReadPrevFwVersion(Fx(), version, sizeof(version)));
    EXPECT_EQ(state, 44);
    EXPECT_EQ(counter, 0xA5);
    EXPECT_EQ(version[0], 'x');
}

TEST_F(StateTest, LongPrevFwVersionIsCutToTheBufferAndTerminated) {
    const std::wstring longText = std::wstring(150, L'7') + L"Z";
    StageText(L"PrevFwVersion", longText.c_str());
    char buffer[120];
    memset(buffer, '#', sizeof(buffer));
    EXPECT_HR(S_OK, Device()->ReadPrevFwVersion(Fx(), buffer, 100));
    EXPECT_EQ(std::string(buffer), std::string(99, '7'));
    for (size_t i = 100; i < sizeof(buffer); ++i) {
        ASSERT_EQ(buffer[i], '#') << "written past the capacity at " << i;
    }
    // A capacity of one holds only the terminator.
    EXPECT_HR(S_OK, Device()->ReadPrevFwVersion(Fx(), buffer, 1));
    EXPECT_EQ(buffer[0], '\0');
    EXPECT_EQ(buffer[1], '7');
}

TEST_F(StateTest, MissingDeviceOrBufferIsAnInvalidArgument) {
    UCHAR byte = 0xA5;
    char buffer[4] = {'x', 'x', 'x', 'x'};
    struct Case {
        const char* name;
        std::function<HRESULT()> run;
    } cases[] = {
        {"InitializeUpgradeState", [&] { return Device()->InitializeUpgradeState(nullptr); }},
        {"ReadProgressState", [&] { return Device()->ReadProgressState(nullptr, &byte); }},
        {"WriteProgressState", [&] { return Device()->WriteProgressState(nullptr, &byte); }},
        {"ReadRetryCounter", [&] { return Device()->ReadRetryCounter(nullptr, &byte); }},
        {"WriteRetryCounter", [&] { return Device()->WriteRetryCounter(nullptr, &byte); }},
        {"WritePrevFwVersion", [&] { return Device()->WritePrevFwVersion(nullptr, "1"); }},
        {"ReadPrevFwVersion no device",
         [&] { return Device()->ReadPrevFwVersion(nullptr, buffer, 4); }},
        {"ReadPrevFwVersion no buffer",
         [&] { return Device()->ReadPrevFwVersion(Fx(), nullptr, 4); }},
        {"ReadPrevFwVersion zero capacity",
         [&] { return Device()->ReadPrevFwVersion(Fx(), buffer, 0); }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_HR(E_INVALIDARG, c.run());
    }
    EXPECT_EQ(byte, 0xA5);
    EXPECT_EQ(buffer[0], 'x');
    EXPECT_EQ(m_Machine.Store()->NamedStoresOpened(), 0);
}

TEST_F(StateTest, AStoreThatCannotBeOpenedFailsEveryOperationWithItsResult) {
    ASSERT_HR(S_OK, Device()->InitializeUpgradeState(Fx()));
    sqlite3* locker = nullptr;
    struct Case {
        const char* name;
        std::function<void()> arrange;
        HRESULT expected;
        size_t assertions = 0;  // the factory assertion, once per operation below
    } cases[] = {
        {"no factory",
         [] {
             sim::FaultPlan::Instance().Add({sim::FaultPoint::HostDeviceQi,
                                             "IWDFPropertyStoreFactory", sim::FaultAction::Fail,
                                             E_NOINTERFACE, 0, 0});
         },
         E_NOINTERFACE},
        {"no factory, no code given",
         [] {
             sim::FaultPlan::Instance().Add({sim::FaultPoint::HostDeviceQi,
                                             "IWDFPropertyStoreFactory", sim::FaultAction::Fail, 0,
                                             0, 0});
         },
         E_NOINTERFACE},
        {"factory call succeeds without an interface",
         [] {
             sim::FaultPlan::Instance().Add({sim::FaultPoint::HostDeviceQi,
                                             "IWDFPropertyStoreFactory", sim::FaultAction::Null, 0,
                                             0, 0});
         },
         E_NOINTERFACE, 4},
        {"retrieval refused",
         [] {
             sim::FaultPlan::Instance().Add({sim::FaultPoint::HostStoreRetrieve, "",
                                             sim::FaultAction::Fail, E_ACCESSDENIED, 0, 0});
         },
         E_ACCESSDENIED},
        {"database locked by another process",
         [&] {
             ASSERT_EQ(SQLITE_OK, sqlite3_open(DbPath().c_str(), &locker));
             ASSERT_EQ(SQLITE_OK, sqlite3_exec(locker,
                                               "PRAGMA locking_mode=EXCLUSIVE; BEGIN "
                                               "EXCLUSIVE; SELECT count(*) FROM "
                                               "property_values;",
                                               nullptr, nullptr, nullptr));
         },
         HRESULT_FROM_WIN32(ERROR_LOCK_VIOLATION)},
        {"database corrupt",
         [&] {
             std::filesystem::remove(DbPath() + "-wal");
             std::filesystem::remove(DbPath() + "-shm");
             std::ofstream(DbPath(), std::ios::binary | std::ios::trunc) << std::string(4096, 'x');
         },
         HRESULT_FROM_WIN32(ERROR_BADDB)},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        sim::FaultPlan::Instance().Clear();
        WinplatClearDebugOutput();
        c.arrange();
        UCHAR byte = 0xA5;
        char version[8] = {'x'};
        EXPECT_HR(c.expected, Device()->ReadProgressState(Fx(), &byte));
        EXPECT_HR(c.expected, Device()->WriteRetryCounter(Fx(), &byte));
        EXPECT_HR(c.expected, Device()->ReadPrevFwVersion(Fx(), version, sizeof(version)));
        EXPECT_HR(c.expected, Device()->InitializeUpgradeState(Fx()));
        EXPECT_EQ(byte, 0xA5);
        EXPECT_EQ(version[0], 'x');
        EXPECT_EQ(CountDebugOutput("Device: assertion failed: NULL != pPropertyStoreFactory"),
                  c.assertions);
        if (locker != nullptr) {
            sqlite3_close(locker);
            locker = nullptr;
        }
    }
}

// ---- Durability across a killed process ------------------------------------------------

std::string ChildPath() {
    return (std::filesystem::read_symlink("/proc/self/exe").parent_path() / "brelk_state_child")
        .string();
}

TEST_F(StateTest, AWriteSurvivesTheProcessBeingKilledRightAfterIt) {
    m_Machine.Stop();  // the machine belongs to the child processes now
    std::string folder = m_Machine.Folder().string();
    const std::string child = ChildPath();
    char* writeArgs[] = {const_cast<char*>(child.c_str()), const_cast<char*>("write"),
                         folder.data(), const_cast<char*>("3"), nullptr};
    pid_t pid = 0;
    ASSERT_EQ(0, posix_spawn(&pid, child.c_str(), nullptr, nullptr, writeArgs, environ));
    int status = 0;
    ASSERT_EQ(pid, waitpid(pid, &status, 0));
    ASSERT_TRUE(WIFSIGNALED(status)) << "exit status " << WEXITSTATUS(status);
    EXPECT_EQ(WTERMSIG(status), SIGKILL);

    const std::string command = child + " read " + folder;
    FILE* reader = popen(command.c_str(), "r");
    ASSERT_NE(reader, nullptr);
    char line[64] = {};
    ASSERT_NE(fgets(line, sizeof(line), reader), nullptr);
    EXPECT_EQ(0, pclose(reader));
    EXPECT_STREQ(line, "00000000 3\n");
}

}  // namespace
}  // namespace brelk::test
