#pragma once
// Readable HRESULTs in GoogleTest output: EXPECT_HR(E_INVALIDARG, hr) fails with
// "E_INVALIDARG (0x80070057)" and "DISP_E_BADINDEX (0x8002000B)" instead of two negative
// decimal numbers.
#include <windows.h>  // HRESULT is declared in winnt.h, not winerror.h

#include <gtest/gtest.h>

#include <ostream>
#include <string>

namespace brelk::test {

// "NAME (0xXXXXXXXX)" for the codes the layer and the driver use, "0xXXXXXXXX" otherwise.
std::string HResultName(HRESULT hr);

struct HResult {
    HRESULT value;
    friend bool operator==(HResult a, HResult b) { return a.value == b.value; }
    friend std::ostream& operator<<(std::ostream& os, HResult hr) {
        return os << HResultName(hr.value);
    }
};

}  // namespace brelk::test

#define EXPECT_HR(expected, actual) \
    EXPECT_EQ(::brelk::test::HResult{(expected)}, ::brelk::test::HResult{(actual)})
#define ASSERT_HR(expected, actual) \
    ASSERT_EQ(::brelk::test::HResult{(expected)}, ::brelk::test::HResult{(actual)})
