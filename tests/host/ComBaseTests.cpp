// The simulated machine's COM base: QueryInterface from a table, reference counting and
// destruction at the last release.
#include <atomic>

#include "ComBase.h"
#include "HResultPrinter.h"
#include "RefCountChecker.h"

namespace brelk::test {
namespace {

struct IFirst : IUnknown {
    virtual int STDMETHODCALLTYPE First() = 0;
};
struct ISecond : IUnknown {
    virtual int STDMETHODCALLTYPE Second() = 0;
};
constexpr IID IID_IFirst = {
    0x6C1E0A41, 0x2B7D, 0x4F0E, {0x9A, 0x11, 0x3D, 0x5C, 0x70, 0x21, 0x8E, 0x01}};
constexpr IID IID_ISecond = {
    0x6C1E0A41, 0x2B7D, 0x4F0E, {0x9A, 0x11, 0x3D, 0x5C, 0x70, 0x21, 0x8E, 0x02}};
// A second IID answered with the first interface, as IWDFObject is by the framework's objects.
constexpr IID IID_IFirstAlias = {
    0x6C1E0A41, 0x2B7D, 0x4F0E, {0x9A, 0x11, 0x3D, 0x5C, 0x70, 0x21, 0x8E, 0x03}};
constexpr IID IID_INone = {
    0x6C1E0A41, 0x2B7D, 0x4F0E, {0x9A, 0x11, 0x3D, 0x5C, 0x70, 0x21, 0x8E, 0x04}};

class CBoth final : public simcom::ComObject<CBoth, IFirst, ISecond> {
public:
    static const simcom::InterfaceEntry<CBoth> kInterfaces[];

    explicit CBoth(std::atomic<int>* destroyed) : m_Destroyed(destroyed) {}
    int STDMETHODCALLTYPE First() override { return 1; }
    int STDMETHODCALLTYPE Second() override { return 2; }

private:
    ~CBoth() override { ++*m_Destroyed; }

    std::atomic<int>* m_Destroyed;  // no ownership: the test's counter
};

const simcom::InterfaceEntry<CBoth> CBoth::kInterfaces[] = {
    simcom::Entry<CBoth, IFirst>(IID_IFirst),
    simcom::Entry<CBoth, ISecond>(IID_ISecond),
    simcom::Entry<CBoth, IFirst>(IID_IFirstAlias),
    {},
};

TEST(ComBase, QueryInterfaceAnswersFromTheTable) {
    std::atomic<int> destroyed{0};
    auto* object = new CBoth(&destroyed);
    IUnknown* const first = static_cast<IFirst*>(object);
    IUnknown* const second = static_cast<ISecond*>(object);
    ASSERT_NE(static_cast<void*>(first), static_cast<void*>(second));
    struct Case {
        const char* name;
        IUnknown* through;
        const IID* iid;
        void* expected;  // null: E_NOINTERFACE
    };
    const Case cases[] = {
        {"first", second, &IID_IFirst, first},
        {"second", first, &IID_ISecond, second},
        {"alias of first", second, &IID_IFirstAlias, first},
        // IUnknown is the same pointer through every interface: COM's identity rule.
        {"IUnknown through first", first, &IID_IUnknown, first},
        {"IUnknown through second", second, &IID_IUnknown, first},
        {"unknown IID", first, &IID_INone, nullptr},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        RefCountChecker check(first);
        void* out = reinterpret_cast<void*>(0xdeadbeef);
        const HRESULT hr = c.through->QueryInterface(*c.iid, &out);
        EXPECT_EQ(out, c.expected);
        if (c.expected == nullptr) {
            EXPECT_EQ(hr, E_NOINTERFACE);
            continue;
        }
        EXPECT_EQ(hr, S_OK);
        EXPECT_TRUE(HasRefCount(first, 2));
        static_cast<IUnknown*>(out)->Release();
    }
    EXPECT_EQ(first->QueryInterface(IID_IFirst, nullptr), E_POINTER);
    EXPECT_EQ(destroyed.load(), 0);
    EXPECT_EQ(second->Release(), 0u);
    EXPECT_EQ(destroyed.load(), 1);
}

}  // namespace
}  // namespace brelk::test
