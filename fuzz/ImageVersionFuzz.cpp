// ReadImageFirmwareVersion against whatever text the flash library hands back: any bytes,
// terminated or not, up to the whole 1024-byte buffer. The version is the token after the
// "1:" marker (tokens separated by ':', ' ', tab and newline), cut to 94 characters and
// terminated; without a marker or a token the call fails and the field keeps its value.
//
// Input: the library's result (0xFF: it fails), then the text it writes.

#include <algorithm>
#include <cstring>
#include <string>
#include <string_view>

#include "Flashkit.h"
#include "FuzzInput.h"
#include "Internal.h"
#include "MBDeviceService.h"

namespace {

using brelkfuzz::Check;
using brelkfuzz::CheckEq;

constexpr size_t kLibraryBuffer = 1024;
constexpr size_t kVersionChars = 94;
constexpr char kPoison[] = "previous";

FlashkitApi g_Api = {};
CMBDeviceService* g_Service = nullptr;
std::string_view g_Text;
INT32 g_Result = 0;
bool g_Called = false;

INT32 GetSysVersion(const char* path, INT32 selector, char* buffer, UINT32 capacity) {
    g_Called = true;
    Check(path != nullptr && selector == 1 && buffer != nullptr && capacity == kLibraryBuffer,
          "library called with other arguments");
    std::memcpy(buffer, g_Text.data(), std::min<size_t>(g_Text.size(), capacity));
    return g_Result;
}

// The version the text holds, or nothing.
bool ExpectedVersion(std::string_view text, std::string* version) {
    text = text.substr(0, std::min(text.size(), kLibraryBuffer - 1));
    text = text.substr(0, std::min(text.size(), text.find('\0')));
    const size_t marker = text.find("1:");
    if (marker == std::string_view::npos) {
        return false;
    }
    constexpr std::string_view kDelimiters = ": \t\n";
    std::string_view rest = text.substr(marker);
    for (int token = 0; token < 2; ++token) {
        const size_t begin = rest.find_first_not_of(kDelimiters);
        if (begin == std::string_view::npos) {
            return false;
        }
        rest = rest.substr(begin);
        const size_t end = std::min(rest.size(), rest.find_first_of(kDelimiters));
        if (token == 1) {
            *version = std::string(rest.substr(0, std::min(end, kVersionChars)));
        }
        rest = rest.substr(end);
    }
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    g_Api.ZKTR_DL_get_sys_version = GetSysVersion;
    g_pFlashkitApi = &g_Api;
    g_FirmwareImagePath = "C:\\Windows\\Firmware\\image.fls";
    g_Service = new CMBDeviceService(L"fuzz");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    brelkfuzz::Input in(data, size);
    g_Result = in.U8() == 0xFF ? -1 : 0;
    const auto text = in.Rest();
    g_Text = std::string_view(reinterpret_cast<const char*>(text.data()), text.size());
    char* field = g_Service->GetImageFirmwareVersion();
    std::memset(field, 'X', VERSION_TEXT_SIZE);
    std::memcpy(field, kPoison, sizeof(kPoison));

    g_Called = false;
    const HRESULT hr = ReadImageFirmwareVersion(g_Service);
    Check(g_Called, "library not asked");

    std::string expected;
    if (g_Result != 0 || !ExpectedVersion(g_Text, &expected)) {
        CheckEq(E_FAIL, hr, "result without a version");
        Check(std::strcmp(field, kPoison) == 0, "version field changed by a failed read");
        return 0;
    }
    CheckEq(S_OK, hr, "result with a version");
    Check(std::memchr(field, '\0', VERSION_TEXT_SIZE) != nullptr, "version field not terminated");
    if (expected != field) {
        std::fprintf(stderr, "version \"%s\", expected \"%s\"\n", field, expected.c_str());
        std::abort();
    }
    return 0;
}
