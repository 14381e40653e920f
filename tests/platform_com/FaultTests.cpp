// The layer's API faults (winplat/faults.h) as the COM half meets them; Linux only.
#include <windows.h>
#include <oleauto.h>
#include <winplat/faults.h>

#include <gtest/gtest.h>

namespace brelk::test {

TEST(SafeArrayCreate, InjectedFailureReturnsNull) {
    WinplatFailApi("SafeArrayCreate", 0, 1, ERROR_NOT_ENOUGH_MEMORY);
    SAFEARRAYBOUND bound = {8, 0};
    EXPECT_EQ(SafeArrayCreate(VT_UI1, 1, &bound), nullptr);
    SAFEARRAY* psa = SafeArrayCreate(VT_UI1, 1, &bound);  // the rule failed one call only
    EXPECT_NE(psa, nullptr);
    SafeArrayDestroy(psa);
    WinplatClearApiFaults();
}

}  // namespace brelk::test
