#pragma once
// The test machine with its store open (and registered as the SetupAPI device database).
#include <gtest/gtest.h>

#include "HResultPrinter.h"
#include "TestMachine.h"

namespace brelk::test {

class MachineFixture : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(S_OK, m_Machine.OpenStore(Options())); }
    void TearDown() override { m_Machine.Stop(); }

    virtual sim::StoreOptions Options() { return {}; }
    const std::shared_ptr<sim::MachineStore>& Store() const { return m_Machine.Store(); }

    Machine m_Machine{"machine"};
};

}  // namespace brelk::test
