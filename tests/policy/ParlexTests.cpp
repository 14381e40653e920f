// Parlex loaded by name, as the driver loads it, and called through its undecorated
// exports: the answers and the one debugger line of each call. Runs on our layer and, as a
// PE program, under Wine.

#include <gtest/gtest.h>

#include <windows.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "FwVersionInfo.h"

#if defined(_WIN32) && defined(__MINGW32__)
#include <mutex>
#else
#include "winplat/debugout.h"
#endif

namespace brelk::test {
namespace {

// What OutputDebugStringA passed, one entry per call.
class DebugCapture {
public:
#if defined(_WIN32) && defined(__MINGW32__)
    // Without a debugger, OutputDebugStringA raises DBG_PRINTEXCEPTION_C with the length
    // and address of the text; a vectored handler sees it before the call's own handler.
    DebugCapture() { m_Handler = AddVectoredExceptionHandler(1, &DebugCapture::OnException); }
    ~DebugCapture() { RemoveVectoredExceptionHandler(m_Handler); }
    std::vector<std::string> Take() {
        std::lock_guard<std::mutex> lock(Lock());
        std::vector<std::string> out;
        out.swap(Lines());
        return out;
    }

private:
    static std::mutex& Lock() {
        static std::mutex lock;
        return lock;
    }
    static std::vector<std::string>& Lines() {
        static std::vector<std::string> lines;
        return lines;
    }
    static LONG CALLBACK OnException(EXCEPTION_POINTERS* info) {
        const EXCEPTION_RECORD* record = info->ExceptionRecord;
        if (record->ExceptionCode == DBG_PRINTEXCEPTION_C && record->NumberParameters >= 2) {
            const auto* text = reinterpret_cast<const char*>(record->ExceptionInformation[1]);
            const size_t length = static_cast<size_t>(record->ExceptionInformation[0]);
            std::lock_guard<std::mutex> lock(Lock());
            Lines().emplace_back(text, length > 0 ? length - 1 : 0);  // length counts the NUL
        }
        return EXCEPTION_CONTINUE_SEARCH;
    }
    PVOID m_Handler = nullptr;
#else
    DebugCapture() { WinplatClearDebugOutput(); }
    std::vector<std::string> Take() {
        std::vector<std::string> out = WinplatGetDebugOutput();
        WinplatClearDebugOutput();
        return out;
    }
#endif
};

using PFN_CheckForFwUpdate = INT32(WINAPI*)(const FwVersionInfo*);
using PFN_NoArgs = INT32(WINAPI*)();
using PFN_ByteArg = void(WINAPI*)(UINT8);

class Parlex : public ::testing::Test {
protected:
    void SetUp() override {
        m_hModule = LoadLibraryW(L"Parlex.dll");
        ASSERT_NE(m_hModule, nullptr) << "GetLastError " << GetLastError();
        m_Debug.Take();
    }
    void TearDown() override {
        if (m_hModule != nullptr) {
            EXPECT_TRUE(FreeLibrary(m_hModule));
        }
    }

    template <class Fn>
    Fn Export(const char* name) {
        auto fn =
            reinterpret_cast<Fn>(reinterpret_cast<void (*)()>(GetProcAddress(m_hModule, name)));
        EXPECT_NE(fn, nullptr) << name;
        return fn;
    }

    HMODULE m_hModule = nullptr;
    DebugCapture m_Debug;
};

TEST_F(Parlex, CheckForFwUpdateComparesVersionTextsBlindToCase) {
    struct Case {
        const char* name;
        std::string current, image;
        INT32 expected;
    };
    const std::string full(100, 'v');  // fills the field, no terminator
    const Case kCases[] = {
        {"equal", "FW_1.2.3", "FW_1.2.3", 1},
        {"case only", "fw_1.2.3-ab", "FW_1.2.3-AB", 1},
        {"both empty", "", "", 1},
        {"different", "FW_1.2.3", "FW_1.2.4", 0},
        {"proper prefix", "FW_1.2", "FW_1.2.3", 0},
        {"empty vs text", "", "FW_1", 0},
        {"full fields, equal", full, full, 1},
        {"full fields, last byte differs", full, full.substr(0, 99) + "w", 0},
    };
    auto check = Export<PFN_CheckForFwUpdate>("CheckForFwUpdate");
    ASSERT_NE(check, nullptr);
    for (const auto& c : kCases) {
        SCOPED_TRACE(c.name);
        // Exactly 204 bytes on the heap: a read past the record is an ASan failure.
        auto info = std::make_unique<FwVersionInfo>();
        std::memset(info.get(), 0, sizeof(FwVersionInfo));
        info->TotalImageSize = 12345;
        std::memcpy(info->CurrentVersion, c.current.data(), c.current.size());
        std::memcpy(info->ImageVersion, c.image.data(), c.image.size());
        const FwVersionInfo before = *info;

        EXPECT_EQ(check(info.get()), c.expected);
        EXPECT_EQ(std::memcmp(&before, info.get(), sizeof(FwVersionInfo)), 0);
        EXPECT_EQ(m_Debug.Take(),
                  std::vector<std::string>{
                      c.expected == 1 ? "Firmware versions are same, upgrade not required"
                                      : "Firmware versions are not same, upgrade required"});
    }
}

TEST_F(Parlex, FixedAnswersAndTheirDebuggerTexts) {
    EXPECT_EQ(Export<PFN_NoArgs>("IsDriverCheckRequired")(), 1);
    EXPECT_EQ(Export<PFN_NoArgs>("GetMaxRetryCountFromOEM")(), 3);
    EXPECT_EQ(Export<PFN_NoArgs>("GetMaxRetryCountFromOEM")(), 3);
    Export<PFN_ByteArg>("FWUpgradeResult")(1);
    Export<PFN_ByteArg>("FWUpgradeResult")(0);
    Export<PFN_ByteArg>("FWUpgradeResult")(0x80);
    Export<PFN_ByteArg>("SendRetryCountToOEM")(2);
    const std::vector<std::string> expected = {"Setting retry count from OEM DLL!",
                                               "Setting retry count from OEM DLL!",
                                               "Result in OEM DLL-PASS",
                                               "Result in OEM DLL-FAIL",
                                               "Result in OEM DLL-PASS",
                                               "Passed retry count to OEM"};
    EXPECT_EQ(m_Debug.Take(), expected);
}

}  // namespace
}  // namespace brelk::test
