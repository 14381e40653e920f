#pragma once
// How the host writes what it saw: HRESULTs, persisted values, sizes, narrow ids.
#include <windows.h>

#include <cstdint>
#include <string>

namespace fwhost {

std::string Lower(std::string s);
std::string Narrow(const std::wstring& w);
std::wstring Widen(const std::string& s);
std::string Hex(HRESULT hr);
std::string HrText(HRESULT hr);
std::string StateText(int state);
std::string CounterText(int counter);
std::string MiB(uint64_t bytes);

}  // namespace fwhost
