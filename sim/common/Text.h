#pragma once
// UTF-8 <-> wide text of any WCHAR width: database TEXT columns, fault-plan matches on value
// names, command lines.
#include <string>

namespace simcommon {

std::string ToUtf8(const std::wstring& w);
std::wstring FromUtf8(const std::string& s);

}  // namespace simcommon
