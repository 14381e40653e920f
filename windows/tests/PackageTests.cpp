// The driver package as Windows reads it: Brelk.inf through SetupAPI's own parser, its
// framework section checked against what Brelk.dll in the same folder exports.
#include <windows.h>
#include <objbase.h>
#include <setupapi.h>
#include <wudfddi.h>

#include <gtest/gtest.h>

#include <cwctype>
#include <string>
#include <vector>

#include "Driver.h"
#include "Internal.h"

namespace {

std::wstring PackageDir() {
    wchar_t buffer[MAX_PATH * 2] = {};
    const DWORD n = GetEnvironmentVariableW(L"BRELK_PACKAGE_DIR", buffer, MAX_PATH * 2);
    return n > 0 && n < MAX_PATH * 2 ? std::wstring(buffer) : std::wstring();
}

std::wstring Lower(std::wstring s) {
    for (auto& c : s) {
        c = static_cast<wchar_t>(std::towlower(c));
    }
    return s;
}

bool EndsWithNoCase(const std::wstring& s, const std::wstring& tail) {
    return s.size() >= tail.size() && Lower(s.substr(s.size() - tail.size())) == Lower(tail);
}

class Inf : public testing::Test {
protected:
    void SetUp() override {
        ASSERT_FALSE(PackageDir().empty()) << "BRELK_PACKAGE_DIR is not set";
        UINT errorLine = 0;
        m_inf = SetupOpenInfFileW((PackageDir() + L"\\Brelk.inf").c_str(), nullptr, INF_STYLE_WIN4,
                                  &errorLine);
        ASSERT_NE(m_inf, INVALID_HANDLE_VALUE)
            << "error " << GetLastError() << " at line " << errorLine;
    }
    void TearDown() override {
        if (m_inf != INVALID_HANDLE_VALUE) {
            SetupCloseInfFile(m_inf);
        }
    }

    // The fields of every line of section with that key (all lines when key is null).
    std::vector<std::vector<std::wstring>> Lines(const wchar_t* section, const wchar_t* key) {
        std::vector<std::vector<std::wstring>> lines;
        INFCONTEXT context{};
        for (BOOL found = SetupFindFirstLineW(m_inf, section, key, &context); found;
             found = key != nullptr ? SetupFindNextMatchLineW(&context, key, &context)
                                    : SetupFindNextLine(&context, &context)) {
            std::vector<std::wstring> fields;
            const DWORD count = SetupGetFieldCount(&context);
            for (DWORD i = 1; i <= count; ++i) {
                fields.push_back(Field(context, i));
            }
            lines.push_back(fields);
        }
        return lines;
    }
    // The fields of the one line of section with that key.
    std::vector<std::wstring> Line(const wchar_t* section, const wchar_t* key) {
        auto lines = Lines(section, key);
        EXPECT_EQ(lines.size(), 1u) << "[" << Narrow(section) << "] " << Narrow(key);
        return lines.empty() ? std::vector<std::wstring>{} : lines.front();
    }

    static std::wstring Field(INFCONTEXT& context, DWORD index) {
        DWORD needed = 0;
        if (!SetupGetStringFieldW(&context, index, nullptr, 0, &needed) || needed == 0) {
            return {};
        }
        std::wstring text(needed, L'\0');
        EXPECT_TRUE(SetupGetStringFieldW(&context, index, text.data(), needed, nullptr));
        text.resize(needed - 1);
        return text;
    }
    static std::string Narrow(const wchar_t* s) {
        std::string out;
        for (; s != nullptr && *s != 0; ++s) {
            out.push_back(static_cast<char>(*s));
        }
        return out;
    }

    HINF m_inf = INVALID_HANDLE_VALUE;
};

// The framework section names the service, its binary, the driver class and the
// framework version; Brelk.dll of the package answers that class and that version.
TEST_F(Inf, FrameworkServiceMatchesTheDriverModule) {
    const auto service = Line(L"Brelk_Install.NT.Wdf", L"UmdfService");
    ASSERT_EQ(service.size(), 2u);
    EXPECT_EQ(service[0], L"Brelk");
    EXPECT_EQ(Line(L"Brelk_Install.NT.Wdf", L"UmdfServiceOrder"),
              std::vector<std::wstring>{L"Brelk"});

    const wchar_t* section = service[1].c_str();
    const auto binary = Line(section, L"ServiceBinary");
    ASSERT_EQ(binary.size(), 1u);
    EXPECT_TRUE(EndsWithNoCase(binary[0], L"\\UMDF\\Brelk.dll")) << Narrow(binary[0].c_str());

    const auto clsidText = Line(section, L"DriverCLSID");
    ASSERT_EQ(clsidText.size(), 1u);
    CLSID clsid{};
    ASSERT_EQ(CLSIDFromString(clsidText[0].c_str(), &clsid), S_OK);
    EXPECT_TRUE(IsEqualCLSID(clsid, CLSID_MyDriver));

    const auto versionText = Line(section, L"UmdfLibraryVersion");
    ASSERT_EQ(versionText.size(), 1u);
    unsigned major = 0, minor = 0, service_ = 0;
    ASSERT_EQ(swscanf(versionText[0].c_str(), L"%u.%u.%u", &major, &minor, &service_), 3);

    HMODULE brelk = LoadLibraryW((PackageDir() + L"\\Brelk.dll").c_str());
    ASSERT_NE(brelk, nullptr) << GetLastError();
    const auto* version = reinterpret_cast<const UMDF_VERSION_DATA*>(
        GetProcAddress(brelk, "Microsoft_WDF_UMDF_Version"));
    ASSERT_NE(version, nullptr);
    EXPECT_EQ(version->MajorNumber, major);
    EXPECT_EQ(version->MinorNumber, minor);
    EXPECT_EQ(major, 1u);
    EXPECT_EQ(minor, 11u);

    using GetClassObject = HRESULT(STDAPICALLTYPE*)(REFCLSID, REFIID, void**);
    auto getClassObject = reinterpret_cast<GetClassObject>(
        reinterpret_cast<void*>(GetProcAddress(brelk, "DllGetClassObject")));
    ASSERT_NE(getClassObject, nullptr);
    IClassFactory* factory = nullptr;
    ASSERT_EQ(getClassObject(clsid, IID_IClassFactory, reinterpret_cast<void**>(&factory)), S_OK);
    ASSERT_NE(factory, nullptr);
    IUnknown* driver = nullptr;
    EXPECT_EQ(factory->CreateInstance(nullptr, IID_IUnknown, reinterpret_cast<void**>(&driver)),
              S_OK);
    if (driver != nullptr) {
        driver->Release();
    }
    factory->Release();

    // Any other class is refused, with the out pointer cleared.
    CLSID other = clsid;
    other.Data1 ^= 1;
    void* none = &other;
    EXPECT_EQ(getClassObject(other, IID_IClassFactory, &none), CLASS_E_CLASSNOTAVAILABLE);
    EXPECT_EQ(none, nullptr);
    FreeLibrary(brelk);
}

// WUDFRd, the framework's reflector, is the device's function service.
TEST_F(Inf, ReflectorIsTheFunctionService) {
    const auto add = Line(L"Brelk_Install.NT.Services", L"AddService");
    ASSERT_EQ(add.size(), 3u);
    EXPECT_EQ(add[0], L"WUDFRd");
    EXPECT_NE(wcstoul(add[1].c_str(), nullptr, 0) & SPSVCINST_ASSOCSERVICE, 0u);
    const auto binary = Line(add[2].c_str(), L"ServiceBinary");
    ASSERT_EQ(binary.size(), 1u);
    EXPECT_TRUE(EndsWithNoCase(binary[0], L"\\WUDFRd.sys")) << Narrow(binary[0].c_str());
    EXPECT_EQ(Line(add[2].c_str(), L"ServiceType"), std::vector<std::wstring>{L"1"});
}

// The models match the modem's firmware node, and one of them is the node whose key
// the driver's upgrade decision treats as forcing an update.
TEST_F(Inf, ModelsNameTheModemsHardwareIds) {
    const auto manufacturer = Lines(L"Manufacturer", nullptr);
    ASSERT_EQ(manufacturer.size(), 1u);
    ASSERT_EQ(manufacturer[0].size(), 2u);
    const std::wstring models = manufacturer[0][0] + L"." + manufacturer[0][1];

    std::vector<std::wstring> keys;
    for (const auto& line : Lines(models.c_str(), nullptr)) {
        ASSERT_EQ(line.size(), 2u);
        EXPECT_EQ(line[0], L"Brelk_Install");
        std::wstring key;
        EXPECT_TRUE(DeviceKeyFromHardwareId(line[1], &key)) << Narrow(line[1].c_str());
        EXPECT_EQ(key, line[1]) << "a hardware id of the modem is its own device key";
        keys.push_back(Lower(key));
    }
    EXPECT_EQ(keys.size(), 2u);
    EXPECT_NE(std::find(keys.begin(), keys.end(), Lower(FORCE_UPGRADE_DEVICE_KEY)), keys.end());
}

TEST_F(Inf, InterfaceClassIsTheDrivers) {
    const auto add = Line(L"Brelk_Install.NT.Interfaces", L"AddInterface");
    ASSERT_GE(add.size(), 1u);
    GUID guid{};
    ASSERT_EQ(CLSIDFromString(add[0].c_str(), &guid), S_OK);
    EXPECT_TRUE(IsEqualGUID(guid, GUID_DEVINTERFACE_FWUPDATE));
}

// Every file the package copies is listed for the disk and present in the folder.
TEST_F(Inf, CopiedFilesArePresent) {
    std::vector<std::wstring> copied;
    for (const wchar_t* section : {L"Brelk_UmdfCopy", L"Brelk_PolicyCopy"}) {
        for (const auto& line : Lines(section, nullptr)) {
            ASSERT_EQ(line.size(), 1u);
            copied.push_back(line[0]);
        }
    }
    EXPECT_EQ(copied, (std::vector<std::wstring>{L"Brelk.dll", L"Parlex.dll"}));
    for (const auto& file : copied) {
        SCOPED_TRACE(Narrow(file.c_str()));
        EXPECT_EQ(Line(L"SourceDisksFiles", file.c_str()), std::vector<std::wstring>{L"1"});
        EXPECT_NE(GetFileAttributesW((PackageDir() + L"\\" + file).c_str()),
                  INVALID_FILE_ATTRIBUTES);
    }
}

}  // namespace
