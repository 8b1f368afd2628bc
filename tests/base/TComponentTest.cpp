// Components: who destroys whom and in which order, and the designing/destroying flags as
// the components' own code sees them during construction and teardown.
#include "base/TComponent.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "base/Exception.h"

namespace {

using Log = std::vector<std::string>;

// Writes its life to a shared log: "before X" from BeforeDestruction, "~X" from its
// destructor, each with what it could see of the destroying flags at that moment.
class TLogged : public TComponent {
 public:
  TLogged(TComponent* AOwner, std::string AName, Log& ALog) : TComponent(AOwner), FLog(ALog) {
    Name = std::move(AName);
  }
  ~TLogged() override { FLog.push_back("~" + Name + Flags()); }

 protected:
  void BeforeDestruction() override {
    bool Before = IsDestroying();
    TComponent::BeforeDestruction();
    FLog.push_back("before " + Name + (Before ? " was" : " not") + Flags());
  }

 private:
  // " d" when this one is destroying, then one "d" or "-" per owned component.
  std::string Flags() const {
    std::string S = IsDestroying() ? " d" : " -";
    for (int I = 0; I < ComponentCount(); ++I) S += Components(I)->IsDestroying() ? "d" : "-";
    return S;
  }
  Log& FLog;
};

class ComponentTest : public testing::Test {
 protected:
  TLogged* Make(TComponent* Owner, const std::string& Name) {
    return new TLogged(Owner, Name, Events);
  }
  Log Events;
};

TEST_F(ComponentTest, OwnerFreesWhatItOwnsInReverseOrderOfCreation) {
  TLogged* Root = Make(nullptr, "root");
  TLogged* A = Make(Root, "a");
  TLogged* B = Make(Root, "b");
  TLogged* C = Make(Root, "c");
  ASSERT_EQ(Root->ComponentCount(), 3);
  EXPECT_EQ(Root->Components(0), A);
  EXPECT_EQ(Root->Components(2), C);
  EXPECT_EQ(B->Owner(), Root);

  Root->Free();
  // Free marks the whole tree before the first destructor body runs; each owned component
  // still gets its own BeforeDestruction, right before its destructor.
  EXPECT_EQ(Events, (Log{"before root not dddd", "~root dddd", "before c was d", "~c d",
                         "before b was d", "~b d", "before a was d", "~a d"}));
}

TEST_F(ComponentTest, NestedOwnershipIsReleasedDepthFirst) {
  TLogged* Root = Make(nullptr, "root");
  TLogged* A = Make(Root, "a");
  Make(A, "a1");
  Make(A, "a2");
  Make(Root, "b");
  EXPECT_EQ(A->ComponentCount(), 2);

  Root->Free();
  EXPECT_EQ(Events,
            (Log{"before root not ddd", "~root ddd", "before b was d", "~b d", "before a was ddd",
                 "~a ddd", "before a2 was d", "~a2 d", "before a1 was d", "~a1 d"}));
}

TEST_F(ComponentTest, ComponentFreedEarlyLeavesItsOwner) {
  TLogged* Root = Make(nullptr, "root");
  TLogged* A = Make(Root, "a");
  TLogged* B = Make(Root, "b");
  TLogged* C = Make(Root, "c");

  B->Free();
  ASSERT_EQ(Root->ComponentCount(), 2);
  EXPECT_EQ(Root->Components(0), A);
  EXPECT_EQ(Root->Components(1), C);

  delete C;  // a plain delete unhooks as well
  ASSERT_EQ(Root->ComponentCount(), 1);

  Events.clear();
  Root->Free();  // would free b and c a second time if they were still listed
  EXPECT_EQ(Events, (Log{"before root not dd", "~root dd", "before a was d", "~a d"}));
}

// A destructor that frees a sibling must not leave its owner with a dangling entry.
class TSiblingKiller : public TComponent {
 public:
  TSiblingKiller(TComponent* AOwner, TComponent* AVictim) : TComponent(AOwner), FVictim(AVictim) {}
  ~TSiblingKiller() override { FVictim->Free(); }

 private:
  TComponent* FVictim;
};

TEST_F(ComponentTest, DestructorMayFreeAnOwnedSibling) {
  TLogged* Root = Make(nullptr, "root");
  TLogged* Victim = Make(Root, "victim");
  new TSiblingKiller(Root, Victim);
  Make(Root, "last");
  Root->Free();
  EXPECT_EQ(Events, (Log{"before root not dddd", "~root dddd", "before last was d", "~last d",
                         "before victim was d", "~victim d"}));
}

TEST_F(ComponentTest, PlainDeleteStillMarksTheOwnedComponents) {
  TLogged* Root = Make(nullptr, "root");
  Make(Root, "a");
  delete Root;
  // The root's own destructor body ran before the base class could mark anything; what it
  // owns is marked before its destructors run.
  EXPECT_EQ(Events, (Log{"~root --", "before a was d", "~a d"}));
}

TEST_F(ComponentTest, OwnedPointerReleasesWithFree) {
  {
    TOwned<TLogged> Root(Make(nullptr, "root"));
    Make(Root.get(), "a");
  }
  EXPECT_EQ(Events, (Log{"before root not dd", "~root dd", "before a was d", "~a d"}));
}

TEST_F(ComponentTest, FreeAndNilClearsThePointerAndAcceptsNull) {
  TLogged* Root = Make(nullptr, "root");
  FreeAndNil(Root);
  EXPECT_EQ(Root, nullptr);
  EXPECT_EQ(Events.size(), 2u);
  FreeAndNil(Root);
  EXPECT_EQ(Events.size(), 2u);
}

TEST_F(ComponentTest, ComponentsOutsideTheRangeRaise) {
  TOwned<TComponent> Root(new TComponent(nullptr));
  new TComponent(Root.get());
  EXPECT_THROW(Root->Components(-1), ERangeError);
  EXPECT_THROW(Root->Components(1), ERangeError);
  EXPECT_NO_THROW(Root->Components(0));
}

TEST(ComponentFlags, DesigningIsInheritedAtConstruction) {
  TOwned<TComponent> Root(new TComponent(nullptr));
  auto* Before = new TComponent(Root.get());
  EXPECT_FALSE(Before->Designing());

  Root->SetDesigning(true);
  auto* After = new TComponent(Root.get());
  auto* Grandchild = new TComponent(After);
  EXPECT_TRUE(Root->Designing());
  EXPECT_TRUE(Before->Designing());  // SetDesigning reaches what the root already owns
  EXPECT_TRUE(After->Designing());
  EXPECT_TRUE(Grandchild->Designing());

  Root->SetDesigning(false);
  EXPECT_FALSE(Before->Designing());
  EXPECT_FALSE(Grandchild->Designing());
}

// The case the socket component relies on: a base-class teardown that calls a virtual
// operation, whose override must see the flag and stay quiet.
class TNoisy : public TComponent {
 public:
  TNoisy(TComponent* AOwner, int& AFired) : TComponent(AOwner), FFired(AFired) {}
  ~TNoisy() override { Fire(); }
  void Fire() {
    if (!IsDestroying()) ++FFired;
  }

 private:
  int& FFired;
};

TEST(ComponentFlags, OwnedComponentsFireNothingWhileTheirOwnerIsReleased) {
  int Fired = 0;
  auto* Root = new TComponent(nullptr);
  auto* Noisy = new TNoisy(Root, Fired);
  new TNoisy(Noisy, Fired);
  Noisy->Fire();
  EXPECT_EQ(Fired, 1);
  Root->Free();
  EXPECT_EQ(Fired, 1);
}

}  // namespace
