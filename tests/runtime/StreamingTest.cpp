#include "runtime/Streaming.h"

#include "tests/runtime/SampleComponents.h"

#include <array>
#include <gtest/gtest.h>
#include <memory>
#include <string>
#include <vector>

namespace {

using namespace sample; // NOLINT(google-build-using-namespace)

class StoredForm : public ::testing::Test {
protected:
    // Components read from a form log their Loaded step into the form's log.
    static void SetUpTestSuite() { RegisterSampleClasses(); }

    // The message of the EReadError that reading Text raises.
    static std::string ReadErrorOf(std::string_view Text) {
        TSampleForm form;
        try {
            ReadComponent(Text, form);
        } catch (const EReadError& e) {
            return e.Message();
        }
        return "no error";
    }
};

const char* const EveryKind = R"(object frmSample: TSampleForm
  Active = True
  Count = -42
  Terminator = #0
  Speed = spFast
  Flags = []
  Caption = 'It''s'#13#10'two lines'#200
  Device = '/dev/ttyUSB%d'
  Items = ('COM 1', '', 'it''s', 'tab'#9)
  Settings.Enabled = True
  Settings.Inner.Level = -7
  OnChange = FormChange
  object child: TSample
    Speed = spSlow
    Flags = [flA, flC]
    Caption = ''
    Items = ()
    Settings.Size = 1024
    Settings.Enabled = False
    OnCount = FormCount
  end
end
)";

TEST_F(StoredForm, EveryKindOfPropertyRoundTrips) {
    TSampleForm form;
    ReadComponent(EveryKind, form);
    EXPECT_EQ(form.Name(), "frmSample");
    EXPECT_TRUE(form.Active());
    EXPECT_EQ(form.Count(), -42);
    EXPECT_EQ(form.Terminator(), 0);
    EXPECT_EQ(form.Speed(), TSpeed::spFast);
    EXPECT_TRUE(form.Flags().Empty());
    EXPECT_EQ(form.Caption(), "It's\r\ntwo lines\xC8");
    EXPECT_EQ(form.Device(), "/dev/ttyUSB%d");
    EXPECT_EQ(form.Items(), (std::vector<std::string>{"COM 1", "", "it's", "tab\t"}));
    EXPECT_TRUE(form.Settings()->Enabled());
    EXPECT_EQ(form.Settings()->Inner()->Level(), -7);

    ASSERT_EQ(form.ComponentCount(), 1);
    auto* child = dynamic_cast<TSample*>(form.FindComponent("child"));
    ASSERT_NE(child, nullptr);
    EXPECT_EQ(child->Owner(), &form);
    EXPECT_EQ(child->Flags(), (TFlags{TFlag::flA, TFlag::flC}));
    EXPECT_EQ(child->Settings()->Size(), 1024);

    EXPECT_EQ(WriteComponent(form), EveryKind);

    TSampleForm again;
    ReadComponent(WriteComponent(form), again);
    EXPECT_EQ(WriteComponent(again), EveryKind);
}

TEST_F(StoredForm, OnlyValuesThatDifferFromTheirDefaultAreWritten) {
    TSampleForm form;
    form.SetName("f");
    // Texts and lists without a declared default and booleans without one are always written.
    EXPECT_EQ(WriteComponent(form), "object f: TSampleForm\n"
                                    "  Caption = ''\n"
                                    "  Items = ()\n"
                                    "  Settings.Enabled = False\n"
                                    "end\n");
    form.SetCount(1);
    form.SetTerminator('\n');
    form.SetDevice("COM%d");
    form.OnChange = [](TObject*) {}; // bound in code: has no name to store
    const std::string text = WriteComponent(form);
    EXPECT_NE(text.find("  Count = 1\n  Terminator = #10\n  Caption"), std::string::npos) << text;
    EXPECT_EQ(text.find("Device"), std::string::npos);
    EXPECT_EQ(text.find("OnChange"), std::string::npos);
}

TEST_F(StoredForm, HandlersAreBoundByNameToTheRootsMethods) {
    TSampleForm form;
    ReadComponent(EveryKind, form);
    ASSERT_TRUE(form.OnChange);
    form.OnChange(&form);
    EXPECT_EQ(form.Changes, std::vector<TObject*>{&form});
    auto* child = dynamic_cast<TSample*>(form.FindComponent("child"));
    ASSERT_TRUE(child->OnCount);
    child->OnCount(child, 3);
    EXPECT_EQ(form.Counts, std::vector<int>{3});
    EXPECT_EQ(child->OnCount.Name(), "FormCount");
}

TEST_F(StoredForm, LoadedRunsAfterAllPropertiesRootLast) {
    TSampleForm form;
    ReadComponent("object f: TSampleForm\n"
                  "  Count = 1\n"
                  "  object a: TSample\n  end\n"
                  "  object b: TSample\n    Count = 2\n  end\n"
                  "end\n",
                  form);
    auto* b = dynamic_cast<TSample*>(form.FindComponent("b"));
    ASSERT_NE(b, nullptr);
    EXPECT_TRUE(b->SetWhileLoading);
    EXPECT_TRUE(form.SetWhileLoading);
    EXPECT_FALSE(form.IsLoading());
    EXPECT_FALSE(b->IsLoading());
    EXPECT_EQ(form.Loads, (std::vector<std::string>{"a", "b", "f"}));
}

TEST_F(StoredForm, AnExistingComponentOfTheNameIsReused) {
    TSampleForm form;
    auto* existing = new TSample(&form);
    existing->SetName("child");
    std::vector<std::string> loads;
    existing->LoadLog = &loads;
    ReadComponent("object f: TSampleForm\n object child: TSample\n Count = 9\n end\nend", form);
    EXPECT_EQ(form.ComponentCount(), 1);
    EXPECT_EQ(existing->Count(), 9);
    EXPECT_EQ(loads, std::vector<std::string>{"child"});
}

TEST_F(StoredForm, AnUnnamedComponentIsWrittenByItsClassAndReadBack) {
    TSampleForm form;
    form.SetName("f");
    (new TSample(&form))->SetCount(5);
    const std::string text = WriteComponent(form);
    EXPECT_NE(text.find("\n  object TSample\n    Count = 5\n"), std::string::npos) << text;
    TSampleForm again;
    ReadComponent(text, again);
    ASSERT_EQ(again.ComponentCount(), 1);
    EXPECT_EQ(dynamic_cast<TSample*>(again.Components(0))->Count(), 5);
    EXPECT_EQ(WriteComponent(again), text);
}

TEST_F(StoredForm, TextsMayBeJoinedAndListsMaySpanLines) {
    TSampleForm form;
    ReadComponent("object f: TSampleForm\n"
                  "  Caption = 'a' +\n    'b'#65 + #66\n"
                  "  Items = (\n    'x'\n    'y', 'z'\n  )\n"
                  "  Terminator = 'q'\n"
                  "end\n",
                  form);
    EXPECT_EQ(form.Caption(), "abAB");
    EXPECT_EQ(form.Items(), (std::vector<std::string>{"x", "y", "z"}));
    EXPECT_EQ(form.Terminator(), 'q');
}

TEST_F(StoredForm, MalformedTextIsRefusedNamingTheLine) {
    const std::pair<const char*, const char*> cases[] = {
        {"object f: TOther\nend", "Line 1: The form describes a TOther, not a TSampleForm"},
        {"object f: TSampleForm\n  Colour = 1\nend",
         "Line 2: Property Colour does not exist in TSampleForm"},
        {"object f: TSampleForm\n  Settings.Depth = 1\nend",
         "Line 2: Property Depth does not exist in TSettings"},
        {"object f: TSampleForm\n  Count.Sub = 1\nend",
         "Line 2: Property Count has no sub-properties"},
        {"object f: TSampleForm\n  Settings = 1\nend",
         "Line 2: Property Settings is an object; give its properties as Settings.Name = value"},
        {"object f: TSampleForm\n\n  object x: TMissing\n  end\nend",
         "Line 3: Class TMissing not found"},
        {"object f: TSampleForm\n  OnChange = NoSuchMethod\nend",
         "Line 2: Handler NoSuchMethod for OnChange not found in TSampleForm"},
        {"object f: TSampleForm\n  OnChange = FormCount\nend",
         "Line 2: Handler of the wrong kind for event OnChange (FormCount)"},
        {"object f: TSampleForm\n  Speed = spWarp\nend",
         "Line 2: Enumeration member of Speed expected but 'spWarp' found"},
        {"object f: TSampleForm\n  Flags = [flA flB]\nend", "Line 2: ',' expected but 'flB' found"},
        {"object f: TSampleForm\n  Active = 1\nend",
         "Line 2: True or False for Active expected but '1' found"},
        {"object f: TSampleForm\n  Count = 'one'\nend",
         "Line 2: Integer for Count expected but a text found"},
        {"object f: TSampleForm\n  Count = 2147483648\nend",
         "Line 2: 2147483648 is out of range for Count"},
        {"object f: TSampleForm\n  Count = 99999999999999999999\nend",
         "Line 2: Number 99999999999999999999 is out of range"},
        {"object f: TSampleForm\n  Caption = 'open\nend", "Line 2: Unterminated string"},
        {"object f: TSampleForm\n  Caption = #256\nend",
         "Line 2: Character code #256 is not a byte"},
        {"object f: TSampleForm\n  Caption = 'a' +\nend",
         "Line 3: Text after '+' in Caption expected but 'end' found"},
        {"object f: TSampleForm\n  Terminator = 'ab'\nend",
         "Line 2: One character for Terminator expected but a text found"},
        {"object f: TSampleForm\n  Count = 1 ;\nend", "Line 2: Invalid character ';'"},
        {"object f: TSampleForm\n  Count = 1\n",
         "Line 3: Property name, 'object' or 'end' expected but the end of the text found"},
        {"object f: TSampleForm\nend\nend", "Line 3: Text after the end of the form"},
        {"object f: TSampleForm\n object a: TSample\n end\n object A: TSample\n end\nend",
         "Line 4: A component named A already exists"},
        {"object f: TSampleForm\n object a: TSample\n end\n object A: TSampleForm\n end\nend",
         "Line 4: A component named A already exists"},
        {"", "Line 1: 'object' expected but the end of the text found"},
    };
    for (const auto& [text, message] : cases) {
        SCOPED_TRACE(text);
        EXPECT_EQ(ReadErrorOf(text), message);
    }
}

TEST_F(StoredForm, WhatASetterRaisesPassesUnchanged) {
    TSampleForm form;
    EXPECT_THROW(ReadComponent("object f: TSampleForm\n  Count = -1001\nend", form), EConvertError);
}

} // namespace
