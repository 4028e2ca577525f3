// Handles, class information, casts, handle containers and shared chains.

#include <gtest/gtest.h>

#include "KVRAssertion.h"
#include "KVRException.h"
#include "KVRSharedChain.h"
#include "KVRSharedList.h"
#include "KVRSharedObject.h"

namespace {

// Two small classes: Shape (concrete) and Circle derived from it; Counter
// records how many live.
struct Counter {
  static inline int alive = 0;
};

class Shape : public KVRSharedObject {
 public:
  static const KVRClassInfo ClassInfo_;
  Shape() { ++Counter::alive; }
  Shape(const Shape& source, CopyMode mode) : KVRSharedObject(source), copiedWith(mode), side(source.side) {
    ++Counter::alive;
  }
  ~Shape() override { --Counter::alive; }
  const KVRClassInfo& getClassInfo() const override { return ClassInfo_; }
  CopyMode copiedWith = CopyAlone;
  int side = 0;
};
constinit const KVRClassInfo Shape::ClassInfo_ =
    KVRClassInfo::concrete<Shape>("Shape", KVRSharedObject::ClassInfo_);

class Circle : public Shape {
 public:
  static const KVRClassInfo ClassInfo_;
  Circle() = default;
  Circle(const Circle& source, CopyMode mode) : Shape(source, mode) {}
  const KVRClassInfo& getClassInfo() const override { return ClassInfo_; }
};
constinit const KVRClassInfo Circle::ClassInfo_ = KVRClassInfo::concrete<Circle>("Circle", Shape::ClassInfo_);

TEST(SharedHandle, SharesOwnershipAndDeletesWithTheLastHandle) {
  {
    KVRSharedHandle<Shape> a(new Shape);
    KVRSharedHandle<Shape> b = a;
    EXPECT_EQ(a->getReferenceCount(), 2);
    b.detach();
    EXPECT_EQ(a->getReferenceCount(), 1);
    EXPECT_EQ(Counter::alive, 1);
  }
  EXPECT_EQ(Counter::alive, 0);
  // Relinquishing hands the object over without deleting it.
  KVRSharedHandle<Shape> h(new Shape);
  Shape* raw = h.relinquish();
  EXPECT_TRUE(h.isNull() && raw->getReferenceCount() == 0);
  KVRSharedHandle<Shape> again(raw);  // the new owner
  again.detach();
  EXPECT_EQ(Counter::alive, 0);
}

TEST(SharedHandle, ConvertsToBaseAndDowncastsBack) {
  KVRSharedHandle<Circle> circle(new Circle);
  KVRSharedHandle<Shape> shape = circle;  // implicit conversion to a base handle
  KVRSharedHandle<KVRSharedObject> object(shape, KVRSharedBase::WriteLock);
  EXPECT_TRUE(object == circle);
  EXPECT_EQ(KVRSharedHandle<Circle>::downcast(object), circle);
  EXPECT_TRUE(KVRSharedHandle<Circle>::downcast(KVRSharedHandle<Shape>()).isNull());

  KVRSharedHandle<Shape> plain(new Shape);
  try {
    (void)KVRSharedHandle<Circle>::downcast(plain);
    FAIL() << "downcast of a Shape to a Circle must throw";
  } catch (const KVREInvalidCast& e) {
    EXPECT_EQ(e.getMessage(), L"The source and target handles have incompatible referent types");
  }
}

TEST(SharedHandle, AnObjectStaysAliveWhileItsOwnMethodDropsTheLastOutsideHandle) {
  // A handle made from `this` during destruction must not delete twice.
  struct SelfReferencing : KVRSharedObject {
    ~SelfReferencing() override { KVRSharedHandle<KVRSharedObject> self(this); }
  };
  KVRSharedHandle<KVRSharedObject> h(new SelfReferencing);
  h.detach();  // ASan reports a double delete if the guard fails
  SUCCEED();
}

TEST(ClassInfo, DerivationFactoriesAndDuplicatesOfTheObjectsOwnClass) {
  EXPECT_TRUE(Circle::ClassInfo_.isDerivedFrom(Shape::ClassInfo_));
  EXPECT_FALSE(Shape::ClassInfo_.isDerivedFrom(Circle::ClassInfo_));
  EXPECT_FALSE(Circle::ClassInfo_.isInstanceOf(Shape::ClassInfo_));
  EXPECT_FALSE(KVRSharedObject::ClassInfo_.hasFactory());  // an abstract class
  EXPECT_EQ(KVRSharedObject::ClassInfo_.createObject(), nullptr);
  KVRSharedHandle<KVRSharedObject> made(static_cast<KVRSharedObject*>(Circle::ClassInfo_.createObject()));
  EXPECT_TRUE(made.isDerivedFrom(Shape::ClassInfo_));
  EXPECT_FALSE(KVRSharedHandle<Shape>().isDerivedFrom(Shape::ClassInfo_));

  KVRSharedHandle<Shape> source(new Circle);
  source->side = 7;
  KVRSharedHandle<Shape> copy(static_cast<Shape*>(source->duplicateObject(KVRDynamicObject::CopyDeep)));
  EXPECT_TRUE(copy->isInstanceOf(Circle::ClassInfo_));
  EXPECT_EQ(copy->copiedWith, KVRDynamicObject::CopyDeep);
  EXPECT_EQ(copy->side, 7);
  EXPECT_EQ(KVRDynamicCast<Circle*>(source.get()), source.get());
  EXPECT_EQ(KVRDynamicCast<Circle*>(KVRSharedHandle<Shape>(new Shape).get()), nullptr);
}

TEST(UUID, TextRoundTripAndFreshIdentities) {
  constexpr KVRUUID fixed("0123abcd-4567-89ef-0123-456789ABCDEF");
  EXPECT_EQ(fixed.toString(), "0123abcd-4567-89ef-0123-456789abcdef");
  EXPECT_EQ(KVRUUID("0123ABCD-4567-89EF-0123-456789abcdef"), fixed);
  EXPECT_NE(KVRUUID(), KVRUUID());
  EXPECT_THROW(KVRUUID("0123abcd-4567-89ef-0123-456789abcde"), std::invalid_argument);
  EXPECT_THROW(KVRUUID("0123abcd+4567-89ef-0123-456789abcdef"), std::invalid_argument);
  EXPECT_THROW(KVRUUID("0123abcg-4567-89ef-0123-456789abcdef"), std::invalid_argument);
  EXPECT_EQ(KVRUUID().toString()[14], '4');  // version 4
}

TEST(SharedContainers, AssignConvertsInSourceOrder) {
  KVRSharedVector<Shape> shapes{KVRSharedHandle<Shape>(new Circle), KVRSharedHandle<Shape>(new Circle)};
  KVRSharedList<Circle> circles{KVRSharedHandle<Circle>(new Circle)};
  KVRSharedAssign(circles, shapes);  // down to the derived class
  EXPECT_EQ(circles, (KVRSharedList<Circle>{KVRSharedHandle<Circle>::downcast(shapes[0]),
                                            KVRSharedHandle<Circle>::downcast(shapes[1])}));
  KVRSharedVector<KVRSharedObject> objects;
  KVRSharedAssign(objects, circles);  // up to a base class
  EXPECT_EQ(objects.back(), shapes[1]);

  shapes.push_back(KVRSharedHandle<Shape>(new Shape));
  EXPECT_THROW(KVRSharedAssign(circles, shapes), KVREInvalidCast);
}

TEST(SharedChain, ExtendsSharesAndReadsRootFirst) {
  KVRSharedHandle<Shape> a(new Shape), b(new Circle), c(new Shape);
  const KVRSharedChain<Shape> ab(KVRSharedChain<Shape>(KVRSharedChain<Shape>(), a), b);
  const KVRSharedChain<Shape> abc(ab, c);
  EXPECT_EQ(abc.last(), c);
  EXPECT_TRUE(abc.contains(a));
  EXPECT_FALSE(ab.contains(c));
  KVRSharedList<Shape> list{c};
  abc.copyTo(list);
  EXPECT_EQ(list, (KVRSharedList<Shape>{a, b, c}));

  // The entry nearest the root that matches.
  EXPECT_EQ(abc.firstFromRoot(
                [](const KVRSharedHandle<Shape>& s) { return !s->isDerivedFrom(Circle::ClassInfo_); }),
            a);
  EXPECT_TRUE(abc.firstFromRoot([](const auto&) { return false; }).isNull());
  EXPECT_TRUE(KVRSharedChain<Shape>::fromContainer(list) == abc && !(ab == abc));
}

TEST(SharedChain, DroppingAVeryLongChainDoesNotRecurse) {
  KVRSharedHandle<Shape> s(new Shape);
  KVRSharedChain<Shape> chain;
  for (int i = 0; i < 200000; ++i) chain = KVRSharedChain<Shape>(chain, s);
  EXPECT_EQ(chain.size(), 200000);
  chain = KVRSharedChain<Shape>();  // a recursive release would overflow the stack
  EXPECT_EQ(s->getReferenceCount(), 1);
}

// The compiler cannot know that deleting through a shared pointer frees nothing.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
#pragma GCC diagnostic ignored "-Wuse-after-free"
TEST(SharedPointer, DeletingThroughItIsRefusedWithAReport) {
  std::vector<KVRAssertionReport> reports;
  auto previous = KVRSetAssertionHandler([&](const KVRAssertionReport& r) { reports.push_back(r); });
  KVRSharedHandle<Shape> owner(new Shape);
  KVRSharedPointer<Shape> pointer(owner);
  KVRSharedConstPointer<Shape> constPointer(owner);
  delete pointer;
  delete constPointer;
  KVRSetAssertionHandler(previous);
  ASSERT_EQ(reports.size(), 2u);
  EXPECT_TRUE(reports[0].category == "Software" && reports[0].text == L"Cannot delete a shared pointer");
  EXPECT_EQ(Counter::alive, 1);  // still owned by `owner`
}
#pragma GCC diagnostic pop

}  // namespace
