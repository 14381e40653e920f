#include "HResultPrinter.h"

#include <cstdio>

namespace brelk::test {

namespace {

struct Named {
    uint32_t value;
    const char* name;
};

// Literal values, so that the table does not depend on which headers define which names.
constexpr Named kNames[] = {
    {0x00000000, "S_OK"},
    {0x00000001, "S_FALSE"},
    {0x8000FFFF, "E_UNEXPECTED"},
    {0x80004001, "E_NOTIMPL"},
    {0x80004002, "E_NOINTERFACE"},
    {0x80004003, "E_POINTER"},
    {0x80004004, "E_ABORT"},
    {0x80004005, "E_FAIL"},
    {0x8000000A, "E_PENDING"},
    {0x80070005, "E_ACCESSDENIED"},
    {0x80070006, "E_HANDLE"},
    {0x8007000E, "E_OUTOFMEMORY"},
    {0x80070057, "E_INVALIDARG"},
    {0x80070002, "HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND)"},
    {0x80070003, "HRESULT_FROM_WIN32(ERROR_PATH_NOT_FOUND)"},
    {0x8007007A, "E_NOT_SUFFICIENT_BUFFER"},
    {0x800700EA, "HRESULT_FROM_WIN32(ERROR_MORE_DATA)"},
    {0x80070103, "HRESULT_FROM_WIN32(ERROR_NO_MORE_ITEMS)"},
    {0x80070490, "HRESULT_FROM_WIN32(ERROR_NOT_FOUND)"},
    {0x800705B4, "HRESULT_FROM_WIN32(ERROR_TIMEOUT)"},
    {0x80040110, "CLASS_E_NOAGGREGATION"},
    {0x80040111, "CLASS_E_CLASSNOTAVAILABLE"},
    {0x80040154, "REGDB_E_CLASSNOTREG"},
    {0x800401F0, "CO_E_NOTINITIALIZED"},
    {0x800401F1, "CO_E_ALREADYINITIALIZED"},
    {0x800401F3, "CO_E_CLASSSTRING"},
    {0x800401FB, "CO_E_OBJNOTREG"},
    {0x80040200, "CONNECT_E_NOCONNECTION"},
    {0x80040201, "CONNECT_E_ADVISELIMIT"},
    {0x80040202, "CONNECT_E_CANNOTCONNECT"},
    {0x80010106, "RPC_E_CHANGED_MODE"},
    {0x80020008, "DISP_E_BADVARTYPE"},
    {0x80030057, "STG_E_INVALIDPARAMETER"},
    {0x8002000B, "DISP_E_BADINDEX"},
    {0x8002000D, "DISP_E_ARRAYISLOCKED"},
    {0x80028CA0, "TYPE_E_TYPEMISMATCH"},
};

}  // namespace

std::string HResultName(HRESULT hr) {
    char hex[16];
    std::snprintf(hex, sizeof(hex), "0x%08X", static_cast<unsigned>(hr));
    for (const Named& n : kNames) {
        if (n.value == static_cast<uint32_t>(hr)) {
            return std::string(n.name) + " (" + hex + ")";
        }
    }
    return hex;
}

}  // namespace brelk::test
