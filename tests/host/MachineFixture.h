#pragma once
// A simulated machine in a fresh temporary folder: its database, registered as the
// SetupAPI device database, and the framework host's driver object.
#include <windows.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#include "FaultPlan.h"
#include "Framework.h"
#include "MachineStore.h"

namespace brelk::test {

class MachineFixture : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/brelk-machine-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        m_Folder = pattern;
        ASSERT_EQ(S_OK, sim::MachineStore::Open(sim::MachineStore::DbPathForMachine(m_Folder),
                                                &m_Store, Options()));
        sim::Host().ServeDeviceNodes(m_Store);
        sim::FaultPlan::Instance().Clear();
    }

    void TearDown() override {
        sim::FaultPlan::Instance().Clear();
        sim::Host().ServeDeviceNodes(nullptr);
        m_Store.reset();
        std::filesystem::remove_all(m_Folder);
    }

    virtual sim::StoreOptions Options() { return {}; }

    std::string DbPath() const { return sim::MachineStore::DbPathForMachine(m_Folder); }

    std::string m_Folder;
    std::shared_ptr<sim::MachineStore> m_Store;
};

}  // namespace brelk::test
