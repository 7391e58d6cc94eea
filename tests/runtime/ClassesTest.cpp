#include "runtime/Classes.h"

#include "runtime/TypInfo.h"

#include <gtest/gtest.h>
#include <string>
#include <vector>

namespace {

class TPoint : public TPersistent {
public:
    const char* ClassName() const override { return "TPoint"; }
    int X = 0;

protected:
    void AssignTo(TPersistent* Dest) const override {
        if (auto* point = dynamic_cast<TPoint*>(Dest)) {
            point->X = X;
            return;
        }
        TPersistent::AssignTo(Dest);
    }
};

class TColour : public TPersistent {
public:
    const char* ClassName() const override { return "TColour"; }
};

std::string AssignErrorOf(TPersistent& Target, const TPersistent* Source) {
    try {
        Target.Assign(Source);
    } catch (const EConvertError& e) {
        return e.Message();
    }
    return "no error";
}

TEST(Assign, CopiesBetweenObjectsThatKnowEachOther) {
    TPoint a;
    TPoint b;
    a.X = 7;
    b.Assign(&a);
    EXPECT_EQ(b.X, 7);
}

TEST(Assign, RefusesUnrelatedClassesAndNil) {
    TPoint point;
    TColour colour;
    EXPECT_EQ(AssignErrorOf(colour, &point), "Cannot assign a TPoint to a TColour");
    EXPECT_EQ(AssignErrorOf(point, &colour), "Cannot assign a TColour to a TPoint");
    EXPECT_EQ(AssignErrorOf(point, nullptr), "Cannot assign a nil to a TPoint");
}

// Records the order of destruction and what each component saw of its state then.
struct DestroyLog {
    std::vector<std::string> Entries;
};

class TLogged : public TComponent {
public:
    TLogged(TComponent* AOwner, std::string AName, DestroyLog* Log)
        : TComponent(AOwner), FLog(Log) {
        SetName(std::move(AName));
    }
    ~TLogged() override {
        const bool wasMarked = IsDestroying();
        Destroying();
        FLog->Entries.push_back(Name() + (wasMarked ? " marked" : " unmarked"));
    }
    const char* ClassName() const override { return "TLogged"; }

    void Handler(TObject* Sender) { LastSender = Sender; }
    void Publish() { PublishMethod<TNotifyEvent>("Handler", this, &TLogged::Handler); }

    TObject* LastSender = nullptr;

private:
    DestroyLog* FLog;
};

TEST(Ownership, OwnerFreesItsComponentsLastCreatedFirstAfterMarkingThem) {
    DestroyLog log;
    auto* root = new TLogged(nullptr, "root", &log);
    new TLogged(root, "first", &log);
    auto* second = new TLogged(root, "second", &log);
    new TLogged(second, "grandchild", &log);
    ASSERT_EQ(root->ComponentCount(), 2);
    EXPECT_EQ(root->Components(1), second);
    EXPECT_EQ(second->Owner(), root);

    delete root;
    // Each destructor logs before the base frees that component's own children.
    EXPECT_EQ(log.Entries, (std::vector<std::string>{"root unmarked", "second marked",
                                                     "grandchild marked", "first marked"}));
}

TEST(Ownership, AComponentFreedFirstLeavesItsOwner) {
    DestroyLog log;
    TLogged root(nullptr, "root", &log);
    auto* child = new TLogged(&root, "child", &log);
    new TLogged(&root, "other", &log);
    delete child;
    ASSERT_EQ(root.ComponentCount(), 1);
    EXPECT_EQ(root.Components(0)->Name(), "other");
    EXPECT_EQ(root.FindComponent("child"), nullptr);
    EXPECT_EQ(root.FindComponent("OTHER"), root.Components(0));
    EXPECT_EQ(root.FindComponent(""), nullptr);
}

TEST(Ownership, NamesAreUniqueUnderOneOwner) {
    DestroyLog log;
    TLogged root(nullptr, "root", &log);
    auto* a = new TLogged(&root, "edCGMI", &log);
    EXPECT_THROW(new TLogged(&root, "EDcgmi", &log), EComponentError);
    a->SetName("edCGMI"); // its own name again is fine
    auto* b = new TLogged(&root, "", &log);
    EXPECT_THROW(b->SetName("edcgmi"), EComponentError);
    EXPECT_EQ(b->Name(), "");
}

TEST(ComponentState, LoadingAndDesigningFollowTheirSteps) {
    DestroyLog log;
    TLogged c(nullptr, "c", &log);
    EXPECT_TRUE(c.ComponentState().Empty());
    c.BeginLoading();
    EXPECT_TRUE(c.IsLoading());
    c.Loaded();
    EXPECT_FALSE(c.IsLoading());
    c.SetDesigning(true);
    EXPECT_TRUE(c.IsDesigning());
    c.SetDesigning(false);
    EXPECT_FALSE(c.IsDesigning());
    EXPECT_FALSE(c.IsDestroying());
}

TEST(ComponentMethods, PublishedHandlersAreFoundByName) {
    DestroyLog log;
    TLogged c(nullptr, "c", &log);
    c.Publish();
    EXPECT_EQ(c.FindMethod("Missing"), nullptr);
    const std::any* found = c.FindMethod("Handler");
    ASSERT_NE(found, nullptr);
    const auto* handler = std::any_cast<TNotifyEvent>(found);
    ASSERT_NE(handler, nullptr);
    EXPECT_EQ(handler->Name(), "Handler");
    (*handler)(&c);
    EXPECT_EQ(c.LastSender, &c);
}

TEST(ClassInfo, BaseClassesPublishNothing) {
    TColour colour;
    EXPECT_EQ(colour.ClassInfo().Name(), "TPersistent");
    EXPECT_TRUE(colour.ClassInfo().Properties().empty());
    TComponent component(nullptr);
    EXPECT_EQ(component.ClassInfo().Name(), "TComponent");
    EXPECT_EQ(component.ClassInfo().FindProperty("Name"), nullptr);
}

TEST(ClassRegistry, CreatesRegisteredClassesByName) {
    RegisterComponentClass<TComponent>("TRegisteredForTest");
    EXPECT_EQ(FindComponentClass("TNeverRegistered"), nullptr);
    const TComponentFactory* factory = FindComponentClass("tregisteredfortest");
    ASSERT_NE(factory, nullptr);
    TComponent owner(nullptr);
    TComponent* made = (*factory)(&owner);
    EXPECT_EQ(made->Owner(), &owner);
    EXPECT_EQ(owner.ComponentCount(), 1);
}

class ApplicationReport : public ::testing::Test {
protected:
    void SetUp() override {
        SetApplicationExceptionHandler([this](TObject* Sender, const std::exception& E) {
            Senders.push_back(Sender);
            Messages.emplace_back(E.what());
        });
    }
    void TearDown() override { SetApplicationExceptionHandler(nullptr); }

    std::vector<TObject*> Senders;
    std::vector<std::string> Messages;
};

TEST_F(ApplicationReport, HandsTheCurrentExceptionToTheInstalledHandler) {
    TColour sender;
    try {
        throw EConvertError("'1x' is not a valid integer value");
    } catch (...) {
        ApplicationHandleException(&sender);
    }
    try {
        throw 42; // NOLINT: a foreign exception must be reported too
    } catch (...) {
        ApplicationHandleException(nullptr);
    }
    ApplicationHandleException(&sender); // outside a catch: nothing to report
    EXPECT_EQ(Messages,
              (std::vector<std::string>{"'1x' is not a valid integer value", "Unknown exception"}));
    EXPECT_EQ(Senders, (std::vector<TObject*>{&sender, nullptr}));
}

TEST_F(ApplicationReport, AHandlerThatRaisesIsContained) {
    SetApplicationExceptionHandler(
        [](TObject*, const std::exception&) { throw Exception("the box failed"); });
    testing::internal::CaptureStderr();
    try {
        throw Exception("original");
    } catch (...) {
        ApplicationHandleException(nullptr);
    }
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "the box failed\noriginal\n");
}

} // namespace
