#pragma once
// What every backend of the device property stores must do, as a typed suite: a
// backend's suite instantiates it with a machine type that has
//   void Create();                                       // a fresh, empty machine
//   std::wstring Device(unsigned n);                     // its devices 0 and 1
//   std::shared_ptr<sim::PropertyBackend> Backend();     // its backend
//   std::shared_ptr<sim::PropertyBackend> Reopen();      // the same storage, opened anew
//   void Destroy();
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "HResultPrinter.h"
#include "HostSystem.h"

namespace brelk::test {

template <typename Machine>
class PropertyBackendContract : public ::testing::Test {
protected:
    using KeyOpen = sim::PropertyBackend::KeyOpen;
    static constexpr HRESULT kNotFound = HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND);

    void SetUp() override { m_Machine.Create(); }
    void TearDown() override { m_Machine.Destroy(); }

    std::wstring Device(unsigned n = 0) { return m_Machine.Device(n); }

    std::unique_ptr<sim::PropertyKey> Key(const std::wstring& key = L"HardwareKey",
                                          unsigned device = 0,
                                          sim::PropertyBackend* backend = nullptr) {
        std::unique_ptr<sim::PropertyKey> opened;
        bool created = false;
        auto owner = m_Machine.Backend();
        EXPECT_HR(S_OK,
                  (backend != nullptr ? backend : owner.get())
                      ->OpenKey(Device(device), key, KeyOpen::CreateIfMissing, &opened, &created));
        return opened;
    }

    static sim::StoredValue Number(ULONG n, VARTYPE vt = VT_UI4) {
        sim::StoredValue v;
        v.Kind = sim::StoredValue::Shape::Number;
        v.WrittenAs = vt;
        v.Number = n;
        return v;
    }
    static sim::StoredValue Text(std::wstring t, VARTYPE vt = VT_LPWSTR) {
        sim::StoredValue v;
        v.Kind = sim::StoredValue::Shape::Text;
        v.WrittenAs = vt;
        v.Text = std::move(t);
        return v;
    }
    static sim::StoredValue Bytes(std::vector<BYTE> b) {
        sim::StoredValue v;
        v.Kind = sim::StoredValue::Shape::Bytes;
        v.WrittenAs = VT_BLOB;
        v.Bytes = std::move(b);
        return v;
    }

    Machine m_Machine;
};

TYPED_TEST_SUITE_P(PropertyBackendContract);

TYPED_TEST_P(PropertyBackendContract, EachShapeReadsBackAsWritten) {
    auto key = this->Key();
    ASSERT_NE(key, nullptr);
    const struct {
        const wchar_t* name;
        sim::StoredValue value;
    } cases[] = {
        {L"State", this->Number(3)},
        {L"Largest", this->Number(0xFFFFFFFFu)},
        {L"Signed", this->Number(0xFFFFFFFFu, VT_I4)},
        {L"Version", this->Text(L"2.0.0")},
        {L"Narrow", this->Text(L"0.0", VT_LPSTR)},
        {L"Wider", this->Text(L"M\u00fcnchen \u20ac")},
        {L"Empty", this->Text(L"")},
        {L"Blob", this->Bytes({1, 0, 2, 0xFF})},
        {L"NoBytes", this->Bytes({})},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << "value " << static_cast<int>(c.value.WrittenAs));
        ASSERT_HR(S_OK, key->Write(c.name, c.value, 0));
    }
    // Read through storage opened anew: a write is durable when it returns.
    auto again = this->m_Machine.Reopen();
    auto reread = this->Key(L"HardwareKey", 0, again.get());
    for (const auto& c : cases) {
        sim::StoredValue got;
        ASSERT_HR(S_OK, reread->Read(c.name, &got));
        EXPECT_EQ(got.Kind, c.value.Kind);
        switch (c.value.Kind) {
            case sim::StoredValue::Shape::Number:
                EXPECT_EQ(got.Number, c.value.Number);
                break;
            case sim::StoredValue::Shape::Text:
                EXPECT_EQ(got.Text, c.value.Text);
                break;
            case sim::StoredValue::Shape::Bytes:
                EXPECT_EQ(got.Bytes, c.value.Bytes);
                break;
        }
    }
    sim::StoredValue missing;
    EXPECT_HR(this->kNotFound, reread->Read(L"Never", &missing));
}

TYPED_TEST_P(PropertyBackendContract, KeysAndDevicesKeepTheirOwnValues) {
    auto backend = this->m_Machine.Backend();
    std::unique_ptr<sim::PropertyKey> key;
    bool created = true;
    using KeyOpen = typename TestFixture::KeyOpen;
    EXPECT_HR(this->kNotFound,
              backend->OpenKey(this->Device(), L"SoftwareKey", KeyOpen::Existing, &key, &created));
    EXPECT_EQ(key, nullptr);
    ASSERT_HR(S_OK, backend->OpenKey(this->Device(), L"SoftwareKey", KeyOpen::CreateIfMissing, &key,
                                     &created));
    EXPECT_TRUE(created);
    ASSERT_HR(S_OK, key->Write(L"Shared", this->Number(1), 0));
    ASSERT_HR(S_OK, backend->OpenKey(this->Device(), L"SoftwareKey", KeyOpen::CreateIfMissing, &key,
                                     &created));
    EXPECT_FALSE(created);
    ASSERT_HR(S_OK,
              backend->OpenKey(this->Device(), L"SoftwareKey", KeyOpen::Existing, &key, &created));
    ASSERT_HR(S_OK, backend->OpenKey(this->Device(), L"DeviceParameters", KeyOpen::DeviceOwned,
                                     &key, &created));

    // The same name under another key or another device is another value.
    auto other = this->Key(L"HardwareKey\\Service");
    auto otherDevice = this->Key(L"SoftwareKey", 1);
    ASSERT_HR(S_OK, other->Write(L"Shared", this->Number(2), 0));
    ASSERT_HR(S_OK, otherDevice->Write(L"Shared", this->Number(3), 0));
    sim::StoredValue got;
    ASSERT_HR(S_OK, this->Key(L"SoftwareKey")->Read(L"Shared", &got));
    EXPECT_EQ(got.Number, 1u);
    ASSERT_HR(S_OK, other->Read(L"Shared", &got));
    EXPECT_EQ(got.Number, 2u);
    ASSERT_HR(S_OK, otherDevice->Read(L"Shared", &got));
    EXPECT_EQ(got.Number, 3u);
}

TYPED_TEST_P(PropertyBackendContract, EnumeratesAndDeletesNames) {
    auto key = this->Key();
    for (const wchar_t* name : {L"A", L"B", L"C"}) {
        ASSERT_HR(S_OK, key->Write(name, this->Number(1), 0));
    }
    ASSERT_HR(S_OK, key->Write(L"B", this->Text(L"again"), 0));  // no second name
    ASSERT_HR(S_OK, key->Delete(L"A"));
    EXPECT_HR(this->kNotFound, key->Delete(L"A"));
    sim::StoredValue gone;
    EXPECT_HR(this->kNotFound, key->Read(L"A", &gone));

    DWORD count = 0;
    ASSERT_HR(S_OK, key->Count(&count));
    EXPECT_EQ(count, 2u);
    std::vector<std::wstring> names(count);
    for (DWORD i = 0; i < count; ++i) {
        ASSERT_HR(S_OK, key->NameAt(i, &names[i]));
    }
    std::wstring past;
    EXPECT_HR(HRESULT_FROM_WIN32(ERROR_NO_MORE_ITEMS), key->NameAt(count, &past));
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<std::wstring>{L"B", L"C"}));
}

TYPED_TEST_P(PropertyBackendContract, DevicePropertiesByKeyAndLocale) {
    std::unique_ptr<sim::DevicePropertyKey> props;
    ASSERT_HR(S_OK, this->m_Machine.Backend()->OpenDeviceProperties(this->Device(), L"HardwareKey",
                                                                    &props));
    const DEVPROPKEY key = {{0x1, 0x2, 0x3, {4, 5, 6, 7, 8, 9, 10, 11}}, 7};
    const BYTE data[] = {9, 8, 7};
    DEVPROPTYPE type = DEVPROP_TYPE_EMPTY;
    std::vector<BYTE> got;
    EXPECT_HR(HRESULT_FROM_WIN32(ERROR_NOT_FOUND), props->Get(key, 0, &type, &got));
    ASSERT_HR(S_OK, props->Set(key, 0, DEVPROP_TYPE_BINARY, data, sizeof(data)));
    ASSERT_HR(S_OK, props->Set(key, 0x409, DEVPROP_TYPE_UINT32, data, 1));
    ASSERT_HR(S_OK, props->Get(key, 0, &type, &got));
    EXPECT_EQ(type, static_cast<DEVPROPTYPE>(DEVPROP_TYPE_BINARY));
    EXPECT_EQ(got, (std::vector<BYTE>{9, 8, 7}));
    ASSERT_HR(S_OK, props->Set(key, 0, DEVPROP_TYPE_EMPTY, nullptr, 0));
    EXPECT_HR(HRESULT_FROM_WIN32(ERROR_NOT_FOUND), props->Get(key, 0, &type, &got));
    ASSERT_HR(S_OK, props->Get(key, 0x409, &type, &got));
    EXPECT_EQ(got, (std::vector<BYTE>{9}));
}

REGISTER_TYPED_TEST_SUITE_P(PropertyBackendContract, EachShapeReadsBackAsWritten,
                            KeysAndDevicesKeepTheirOwnValues, EnumeratesAndDeletesNames,
                            DevicePropertiesByKeyAndLocale);

}  // namespace brelk::test
