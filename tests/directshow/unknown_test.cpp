// CUnknown: identity, reference counting and aggregation the way filter writers use them.
#include "directshow/unknown.h"

#include <gtest/gtest.h>

namespace {

constexpr IID IID_ITestValue{0x11111111, 0x2222, 0x3333, {4, 4, 4, 4, 4, 4, 4, 4}};

struct ITestValue : IUnknown {
    virtual int Value() = 0;

protected:
    ~ITestValue() = default;
};

// What a filter writer writes: an object with one interface of its own.
class Inner final : public CUnknown, public ITestValue {
public:
    explicit Inner(IUnknown* outer) : CUnknown(L"inner", outer) {}
    DECLARE_IUNKNOWN
    HRESULT NonDelegatingQueryInterface(REFIID riid, void** object) override {
        if (riid == IID_ITestValue)
            return GetInterface(static_cast<ITestValue*>(this), object);
        return CUnknown::NonDelegatingQueryInterface(riid, object);
    }
    int Value() override { return 42; }
};

// An outer object that aggregates Inner and hands out its interface as its own.
class Outer final : public CUnknown {
public:
    Outer() : CUnknown(L"outer", nullptr) {
        m_inner = new Inner(GetOwner());
        m_inner->NonDelegatingAddRef();
    }
    ~Outer() override { m_inner->NonDelegatingRelease(); }
    HRESULT NonDelegatingQueryInterface(REFIID riid, void** object) override {
        if (riid == IID_ITestValue)
            return m_inner->NonDelegatingQueryInterface(riid, object);
        return CUnknown::NonDelegatingQueryInterface(riid, object);
    }

private:
    Inner* m_inner;
};

}  // namespace

TEST(CUnknown, OwnIdentityAndCounting) {
    const LONG before = CBaseObject::ObjectsActive();
    auto* inner = new Inner(nullptr);
    IUnknown* unknown = nullptr;
    ASSERT_EQ(inner->NonDelegatingQueryInterface(IID_IUnknown, reinterpret_cast<void**>(&unknown)),
              S_OK);
    EXPECT_EQ(CBaseObject::ObjectsActive(), before + 1);
    ITestValue* value = nullptr;
    ASSERT_EQ(unknown->QueryInterface(IID_ITestValue, reinterpret_cast<void**>(&value)), S_OK);
    EXPECT_EQ(value->Value(), 42);
    IUnknown* again = nullptr;
    ASSERT_EQ(value->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&again)), S_OK);
    EXPECT_EQ(again, unknown) << "one identity";
    again->Release();
    void* none = reinterpret_cast<void*>(1);
    EXPECT_EQ(value->QueryInterface(IID_IClassFactory, &none), E_NOINTERFACE);
    EXPECT_EQ(none, nullptr);
    EXPECT_EQ(value->Release(), 1u);
    EXPECT_EQ(unknown->Release(), 0u);
    EXPECT_EQ(CBaseObject::ObjectsActive(), before) << "deleted at the last release";
}

TEST(CUnknown, AggregatedObjectsSpeakForTheirOwner) {
    const LONG before = CBaseObject::ObjectsActive();
    auto* outer = new Outer;
    IUnknown* unknown = nullptr;
    ASSERT_EQ(outer->NonDelegatingQueryInterface(IID_IUnknown, reinterpret_cast<void**>(&unknown)),
              S_OK);
    ITestValue* value = nullptr;
    ASSERT_EQ(unknown->QueryInterface(IID_ITestValue, reinterpret_cast<void**>(&value)), S_OK);
    IUnknown* identity = nullptr;
    ASSERT_EQ(value->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&identity)), S_OK);
    EXPECT_EQ(identity, unknown) << "the inner object's IUnknown is the outer one";
    identity->Release();
    value->Release();  // counted on the outer object
    EXPECT_EQ(CBaseObject::ObjectsActive(), before + 2);
    EXPECT_EQ(unknown->Release(), 0u);
    EXPECT_EQ(CBaseObject::ObjectsActive(), before);
}
