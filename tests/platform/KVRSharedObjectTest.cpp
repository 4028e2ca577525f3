// Handles, class information, casts, handle containers and shared chains.
#include <gtest/gtest.h>
#include "KVRAssertion.h"
#include "KVRException.h"
#include "KVRSharedChain.h"
#include "KVRSharedList.h"
#include "KVRSharedObject.h"

namespace {
// Shape (concrete, counting the live ones) and Circle derived from it.
struct Shape : KVRSharedObject {
  static const KVRClassInfo ClassInfo_;
  static inline int alive = 0;
  Shape() { ++alive; }
  Shape(const Shape& source, CopyMode mode) : KVRSharedObject(source), copiedWith(mode), side(source.side) {
    ++alive;
  }
  ~Shape() override { --alive; }
  const KVRClassInfo& getClassInfo() const override { return ClassInfo_; }
  CopyMode copiedWith = CopyAlone;
  int side = 0;
};
constinit const KVRClassInfo Shape::ClassInfo_ =
    KVRClassInfo::concrete<Shape>("Shape", KVRSharedObject::ClassInfo_);
struct Circle : Shape {
  static const KVRClassInfo ClassInfo_;
  Circle() = default;
  Circle(const Circle& source, CopyMode mode) : Shape(source, mode) {}
  const KVRClassInfo& getClassInfo() const override { return ClassInfo_; }
};
constinit const KVRClassInfo Circle::ClassInfo_ = KVRClassInfo::concrete<Circle>("Circle", Shape::ClassInfo_);

// The compiler cannot know that deleting through a shared pointer frees nothing.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
#pragma GCC diagnostic ignored "-Wuse-after-free"
TEST(SharedHandle, SharesOwnershipCastsAndDuplicatesAlongTheClassesAndRefusesPointerDeletes) {
  {
    KVRSharedHandle<Shape> a(new Shape), b = a;
    EXPECT_EQ(a->getReferenceCount(), 2); b.detach();
    EXPECT_TRUE(a->getReferenceCount() == 1 && Shape::alive == 1);
  }
  EXPECT_EQ(Shape::alive, 0);
  KVRSharedHandle<Shape> h(new Shape);
  Shape* raw = h.relinquish();  // handed over without deleting it
  EXPECT_TRUE(h.isNull() && raw->getReferenceCount() == 0);
  KVRSharedHandle<Shape>(raw).detach();  // the new owner
  EXPECT_EQ(Shape::alive, 0);
  // A handle made from `this` during destruction must not delete twice (ASan reports).
  struct SelfReferencing : KVRSharedObject {
    ~SelfReferencing() override { KVRSharedHandle<KVRSharedObject> self(this); }
  };
  KVRSharedHandle<KVRSharedObject>(new SelfReferencing).detach();
  KVRSharedHandle<Circle> circle(new Circle);
  KVRSharedHandle<Shape> shape = circle;  // implicit conversion to a base handle
  KVRSharedHandle<KVRSharedObject> object(shape, KVRSharedBase::WriteLock);
  EXPECT_TRUE(object == circle);
  EXPECT_EQ(KVRSharedHandle<Circle>::downcast(object), circle);
  EXPECT_TRUE(KVRSharedHandle<Circle>::downcast(KVRSharedHandle<Shape>()).isNull());
  KVRSharedHandle<Shape> plain(new Shape);
  try {
    (void)KVRSharedHandle<Circle>::downcast(plain);
    ADD_FAILURE() << "downcast of a Shape to a Circle must throw";
  } catch (const KVREInvalidCast& e) {
    EXPECT_EQ(e.getMessage(), L"The source and target handles have incompatible referent types");
  }
  EXPECT_EQ(KVRDynamicCast<Circle*>(shape.get()), circle.get());
  EXPECT_EQ(KVRDynamicCast<Circle*>(plain.get()), nullptr);
  EXPECT_FALSE(Shape::ClassInfo_.isDerivedFrom(Circle::ClassInfo_));
  EXPECT_FALSE(Circle::ClassInfo_.isInstanceOf(Shape::ClassInfo_));
  EXPECT_TRUE(!KVRSharedObject::ClassInfo_.hasFactory() && !KVRSharedObject::ClassInfo_.createObject());
  KVRSharedHandle<KVRSharedObject> made(static_cast<KVRSharedObject*>(Circle::ClassInfo_.createObject()));
  EXPECT_TRUE(made.isDerivedFrom(Shape::ClassInfo_));  // a Circle, made by its class's factory
  EXPECT_FALSE(KVRSharedHandle<Shape>().isDerivedFrom(Shape::ClassInfo_));
  KVRSharedHandle<Shape> source(new Circle);
  source->side = 7;
  KVRSharedHandle<Shape> copy(static_cast<Shape*>(source->duplicateObject(KVRDynamicObject::CopyDeep)));
  EXPECT_TRUE(copy->isInstanceOf(Circle::ClassInfo_) && copy->copiedWith == KVRDynamicObject::CopyDeep);
  EXPECT_EQ(copy->side, 7);
  // Deleting through a shared pointer is refused with a report.
  std::vector<KVRAssertionReport> reports;
  auto previous = KVRSetAssertionHandler([&](const KVRAssertionReport& r) { reports.push_back(r); });
  KVRSharedHandle<Shape> owner(new Shape);
  const int alive = Shape::alive;
  KVRSharedPointer<Shape> pointer(owner);
  KVRSharedConstPointer<Shape> constPointer(owner);
  delete pointer; delete constPointer;
  KVRSetAssertionHandler(previous);
  ASSERT_EQ(reports.size(), 2u);
  EXPECT_TRUE(reports[0].category == "Software" && reports[0].text == L"Cannot delete a shared pointer");
  EXPECT_EQ(Shape::alive, alive);  // still owned by `owner`
}
#pragma GCC diagnostic pop

TEST(UUID, TextRoundTripAndFreshIdentities) {
  constexpr KVRUUID fixed("0123abcd-4567-89ef-0123-456789ABCDEF");
  EXPECT_EQ(fixed.toString(), "0123abcd-4567-89ef-0123-456789abcdef");
  EXPECT_EQ(KVRUUID("0123ABCD-4567-89EF-0123-456789abcdef"), fixed);
  EXPECT_NE(KVRUUID(), KVRUUID());
  for (const char* bad : {"0123abcd-4567-89ef-0123-456789abcde", "0123abcd+4567-89ef-0123-456789abcdef",
                          "0123abcg-4567-89ef-0123-456789abcdef"})
    EXPECT_THROW(KVRUUID{bad}, std::invalid_argument) << bad;
  EXPECT_EQ(KVRUUID().toString()[14], '4');  // version 4
}

TEST(SharedContainersAndChains, AssignConvertsInSourceOrderAndChainsReadRootFirst) {
  KVRSharedVector<Shape> shapes{KVRSharedHandle<Shape>(new Circle), KVRSharedHandle<Shape>(new Circle)};
  KVRSharedList<Circle> circles{KVRSharedHandle<Circle>(new Circle)};
  KVRSharedAssign(circles, shapes);  // down to the derived class
  EXPECT_EQ(circles, (KVRSharedList<Circle>{KVRSharedHandle<Circle>::downcast(shapes[0]),
                                            KVRSharedHandle<Circle>::downcast(shapes[1])}));
  KVRSharedVector<KVRSharedObject> objects;
  KVRSharedAssign(objects, circles);  // up to a base class
  EXPECT_EQ(objects.back(), shapes[1]); shapes.push_back(KVRSharedHandle<Shape>(new Shape));
  EXPECT_THROW(KVRSharedAssign(circles, shapes), KVREInvalidCast);
  KVRSharedHandle<Shape> a(new Shape), b(new Circle), c(new Shape);
  const KVRSharedChain<Shape> ab(KVRSharedChain<Shape>(KVRSharedChain<Shape>(), a), b), abc(ab, c);
  EXPECT_EQ(abc.last(), c); EXPECT_TRUE(abc.contains(a) && !ab.contains(c));
  KVRSharedList<Shape> list{c};
  abc.copyTo(list);  // replaces what was there
  EXPECT_EQ(list, (KVRSharedList<Shape>{a, b, c}));
  // The entry nearest the root that matches.
  EXPECT_EQ(abc.firstFromRoot([](const auto& s) { return !s->isDerivedFrom(Circle::ClassInfo_); }), a);
  EXPECT_TRUE(abc.firstFromRoot([](const auto&) { return false; }).isNull());
  EXPECT_TRUE(KVRSharedChain<Shape>::fromContainer(list) == abc && !(ab == abc));
  const int references = a->getReferenceCount();
  KVRSharedChain<Shape> chain;
  for (int i = 0; i < 200000; ++i) chain = KVRSharedChain<Shape>(chain, a);
  EXPECT_EQ(chain.size(), 200000);
  chain = KVRSharedChain<Shape>();  // a recursive release would overflow the stack
  EXPECT_EQ(a->getReferenceCount(), references);
}
}  // namespace
