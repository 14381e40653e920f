// The device key derivation of LookupDeviceKey: the first identifier of a hardware-id
// list (terminated or not, read no further than its size, which the buffer here has
// exactly), then "MBFW\" and that identifier's braced part.
//
// Input: the list as 16-bit little-endian characters.

#include <memory>
#include <string>

#include "FuzzInput.h"
#include "Internal.h"

namespace {

using brelkfuzz::Check;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    brelkfuzz::Input in(data, size);
    const size_t chars = size / 2;
    std::unique_ptr<WCHAR[]> list(new WCHAR[chars]);
    for (size_t i = 0; i < chars; ++i) {
        list[i] = static_cast<WCHAR>(in.U16());
    }

    const std::wstring id = FirstHardwareId(list.get(), chars);
    Check(id.size() <= chars && id.find(L'\0') == std::wstring::npos &&
              id.compare(0, id.size(), list.get(), id.size()) == 0,
          "first identifier is not the list's leading text");
    Check(id.size() == chars || list[id.size()] == L'\0', "first identifier cut short");

    const std::wstring poison = L"unchanged";
    std::wstring key = poison;
    const bool found = DeviceKeyFromHardwareId(id, &key);

    const size_t open = id.find(L'{');
    const bool closeAfterOpen =
        open != std::wstring::npos && id.find(L'}', open) != std::wstring::npos;
    const bool anyClose = id.find(L'}') != std::wstring::npos;
    const bool expectFound = open != std::wstring::npos && (closeAfterOpen || !anyClose);
    Check(found == expectFound, "braced part found or missed");
    if (!found) {
        Check(key == poison, "key written without a braced part");
        return 0;
    }
    Check(key.compare(0, 5, L"MBFW\\") == 0, "key prefix");
    const std::wstring part = key.substr(5);
    Check(!part.empty() && id.compare(open, part.size(), part) == 0,
          "braced part does not start at the first '{'");
    const size_t end = open + part.size();
    if (closeAfterOpen) {
        Check(part.back() == L'}' && id.find(L'}', end) == std::wstring::npos,
              "braced part does not end at the last '}'");
    } else {
        Check(end == id.size(), "an open brace's part does not run to the end");
    }
    return 0;
}
