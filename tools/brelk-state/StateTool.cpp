#include "StateTool.h"

#include <propidl.h>

#include <cstdio>
#include <ostream>

#include "Numbers.h"
#include "PersistedValues.h"
#include "Text.h"

namespace brelk::state {

namespace {

const wchar_t* const kValueNames[] = {persisted::kProgressStateName, persisted::kRetryCounterName,
                                      persisted::kPrevFwVersionName};

using simcommon::FromUtf8;
using simcommon::ToUtf8;

std::string TypeName(VARTYPE vt) {
    switch (vt) {
        case VT_I1:
            return "VT_I1";
        case VT_UI1:
            return "VT_UI1";
        case VT_I2:
            return "VT_I2";
        case VT_UI2:
            return "VT_UI2";
        case VT_I4:
            return "VT_I4";
        case VT_UI4:
            return "VT_UI4";
        case VT_INT:
            return "VT_INT";
        case VT_UINT:
            return "VT_UINT";
        case VT_BSTR:
            return "VT_BSTR";
        case VT_LPSTR:
            return "VT_LPSTR";
        case VT_LPWSTR:
            return "VT_LPWSTR";
        case VT_BLOB:
            return "VT_BLOB";
        default:
            return "type " + std::to_string(vt);
    }
}

std::string HrText(HRESULT hr) {
    char text[16];
    snprintf(text, sizeof(text), "0x%08X", static_cast<unsigned>(hr));
    return text;
}

HRESULT OpenStore(sim::MachineStore& store, const std::wstring& instanceId, REGSAM access,
                  WDF_PROPERTY_STORE_RETRIEVE_FLAGS flags, IWDFNamedPropertyStore2** named) {
    WDF_PROPERTY_STORE_ROOT root = {};
    root.LengthCb = sizeof(root);
    root.RootClass = WdfPropertyStoreRootClassHardwareKey;
    return store.RetrieveNamedStore(instanceId, &root, flags, access, nullptr, named, nullptr);
}

}  // namespace

HRESULT Show(sim::MachineStore& store, const std::wstring& instanceId, std::ostream& out) {
    IWDFNamedPropertyStore2* named = nullptr;
    HRESULT hr = OpenStore(store, instanceId, KEY_READ, WdfPropertyStoreNormal, &named);
    if (hr == HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND)) {
        hr = S_OK;  // the driver never ran on this device: every value is missing
    } else if (FAILED(hr)) {
        return hr;
    }
    out << "device " << ToUtf8(instanceId) << "\n";
    for (const wchar_t* name : kValueNames) {
        char label[32];
        snprintf(label, sizeof(label), "%-22s", ToUtf8(name).c_str());
        out << "  " << label;
        PROPVARIANT value;
        PropVariantInit(&value);
        const HRESULT hrGet = named != nullptr ? named->GetNamedValue(name, &value)
                                               : HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND);
        VARTYPE stored = VT_EMPTY;
        if (hrGet == HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND)) {
            out << "(missing)\n";
        } else if (FAILED(hrGet) ||
                   FAILED(store.StoredValueType(instanceId, L"HardwareKey", name, &stored))) {
            out << "(unreadable " << HrText(hrGet) << ")\n";
            hr = FAILED(hrGet) ? hrGet : E_FAIL;
        } else {
            char type[16];
            snprintf(type, sizeof(type), "%-10s", TypeName(stored).c_str());
            out << type;
            if (value.vt == VT_UI4) {
                out << value.ulVal;
                if (value.ulVal > 0xFF) {
                    out << " (the driver reads " << (value.ulVal & 0xFF) << ")";
                }
            } else if (value.vt == VT_LPWSTR) {
                out << '"' << ToUtf8(value.pwszVal) << '"';
            } else {
                out << "(" << TypeName(value.vt) << " data)";
            }
            out << "\n";
        }
        PropVariantClear(&value);
    }
    if (named != nullptr) {
        named->Release();
    }
    return hr;
}

HRESULT Set(sim::MachineStore& store, const std::wstring& instanceId, const std::wstring& name,
            const std::string& value, const std::string& type) {
    std::string t = type;
    if (t.empty()) {
        t = name == persisted::kPrevFwVersionName ? "lpwstr" : "uint";
    }
    PROPVARIANT v;
    PropVariantInit(&v);
    std::wstring wide;
    std::string narrow = value;
    if (t == "uint" || t == "ui4") {
        unsigned long long n = 0;
        if (!simcommon::ParseUnsigned(value, 0xFFFFFFFFull, &n)) {
            return E_INVALIDARG;
        }
        v.vt = t == "uint" ? VT_UINT : VT_UI4;
        v.ulVal = static_cast<ULONG>(n);
    } else if (t == "lpwstr") {
        wide = FromUtf8(value);
        v.vt = VT_LPWSTR;
        v.pwszVal = wide.data();
    } else if (t == "lpstr") {
        v.vt = VT_LPSTR;
        v.pszVal = narrow.data();
    } else {
        return E_INVALIDARG;
    }
    IWDFNamedPropertyStore2* named = nullptr;
    HRESULT hr = OpenStore(store, instanceId, KEY_READ | KEY_SET_VALUE,
                           WdfPropertyStoreCreateIfMissing, &named);
    if (FAILED(hr)) {
        return hr;
    }
    hr = named->SetNamedValue(name.c_str(), &v);
    named->Release();
    return hr;
}

HRESULT Delete(sim::MachineStore& store, const std::wstring& instanceId, const std::wstring& name) {
    IWDFNamedPropertyStore2* named = nullptr;
    HRESULT hr =
        OpenStore(store, instanceId, KEY_READ | KEY_SET_VALUE, WdfPropertyStoreNormal, &named);
    if (FAILED(hr)) {
        return hr;
    }
    hr = named->DeleteNamedValue(name.c_str());
    named->Release();
    return hr;
}

int Run(const std::vector<std::string>& args, std::ostream& out, std::ostream& err,
        const std::string& program) {
    const std::string usage =
        "usage: " + program + " <machine folder> [--device <instance id>] show\n" + "       " +
        program + " <machine folder> [--device <instance id>] set <name> <value> " +
        "[--type uint|ui4|lpwstr|lpstr]\n" + "       " + program +
        " <machine folder> [--device <instance id>] delete <name>\n" +
        "  Shows or edits the driver's persisted values (FWUpdateProgressState,\n"
        "  FWURetryCounter, PrevFwVersion) in <machine folder>/machine.db.\n";
    if (args.size() == 1 && (args[0] == "--help" || args[0] == "-h")) {
        out << usage;
        return 0;
    }
    std::vector<std::string> rest;
    std::string device;
    std::string type;
    for (size_t i = 0; i < args.size(); ++i) {
        if ((args[i] == "--device" || args[i] == "--type") && i + 1 < args.size()) {
            // The option is named before its value is taken: in an assignment the right
            // side is evaluated first, so `++i` there would already point at the value.
            std::string& option = args[i] == "--device" ? device : type;
            option = args[++i];
        } else {
            rest.push_back(args[i]);
        }
    }
    const bool shape = rest.size() >= 2 && ((rest[1] == "show" && rest.size() == 2) ||
                                            (rest[1] == "set" && rest.size() == 4) ||
                                            (rest[1] == "delete" && rest.size() == 3));
    if (!shape) {
        err << usage;
        return 2;
    }
    std::shared_ptr<sim::MachineStore> store;
    HRESULT hr = sim::MachineStore::Open(sim::MachineStore::DbPathForMachine(rest[0]), &store);
    if (FAILED(hr)) {
        err << "cannot open the machine database in " << rest[0] << ": " << HrText(hr) << "\n";
        return 1;
    }
    std::wstring instance = FromUtf8(device);
    if (instance.empty()) {
        std::vector<std::wstring> nodes;
        hr = store->DeviceNodes(&nodes);
        if (FAILED(hr) || nodes.size() != 1) {
            err << "name the device with --device: the machine has " << nodes.size()
                << " device nodes\n";
            return 2;
        }
        instance = nodes[0];
    }
    if (rest[1] == "show") {
        hr = Show(*store, instance, out);
    } else if (rest[1] == "set") {
        hr = Set(*store, instance, FromUtf8(rest[2]), rest[3], type);
    } else {
        hr = Delete(*store, instance, FromUtf8(rest[2]));
    }
    if (FAILED(hr)) {
        err << rest[1] << " failed: " << HrText(hr) << "\n";
        return 1;
    }
    return 0;
}

}  // namespace brelk::state
