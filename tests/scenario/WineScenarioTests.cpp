// The table of whole updates (Scenarios.h) with the PE builds under Wine: the PE framework
// host loads Brelk.dll, Parlex.dll and Flashkit.dll through Windows' own module loader,
// creates the modem's node through SetupAPI and keeps the device's values in the registry,
// which Wine's reg.exe reads back after each start. BRELK_PE_BIN names the PE build and
// BRELK_WINE_TEMPLATE a prefix each machine's is copied from.
#include <gtest/gtest.h>

#include <string>

#include "Scenarios.h"

namespace brelk::test {
namespace {

class WineScenarioTable : public ::testing::TestWithParam<size_t> {};

TEST_P(WineScenarioTable, StartAfterStart) {
    const auto& s = Scenarios()[GetParam()];
    SCOPED_TRACE(s.Name);
    RunScenario(s, HostSystem::Wine);
}

INSTANTIATE_TEST_SUITE_P(Rows, WineScenarioTable, ::testing::Range<size_t>(0, Scenarios().size()),
                         ScenarioTestName);

}  // namespace
}  // namespace brelk::test
