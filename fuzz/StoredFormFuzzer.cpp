// Reads arbitrary text as a stored form into two kinds of root: a form holding the serial
// component, and the sample form with a property of every kind. Text that cannot be read
// must be refused with EReadError, or with EConvertError or EVaCommError from a setter;
// any other exception, or a crash, is a fault. Text that was read must write out as a
// stored form that reads back to the same text.

#include "fuzz/FuzzCheck.h"
#include "runtime/Streaming.h"
#include "serial/VaComm.h"
#include "tests/runtime/SampleComponents.h"

#include <algorithm>
#include <cctype>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <exception>
#include <string>
#include <string_view>

namespace {

// A form that owns the serial component the way the main window does.
class TCommForm : public TComponent {
public:
    explicit TCommForm(TComponent* AOwner = nullptr) : TComponent(AOwner) {
        FComm->SetName("vaComm");
        PublishMethod<TNotifyEvent>("vaCommOpen", this, &TCommForm::vaCommOpen);
        PublishMethod<TVaCommRxCharEvent>("vaCommRxChar", this, &TCommForm::vaCommRxChar);
    }
    const char* ClassName() const override { return "TCommForm"; }

    void vaCommOpen(TObject* /*Sender*/) {}
    void vaCommRxChar(TObject* /*Sender*/, int /*Count*/) {}

private:
    TVaComm* FComm = new TVaComm(this); // owned, freed with the form
};

// Opening a device is outside what this target exercises: a form that asks for it is
// not read, so that no device path chosen by the fuzzer is ever opened.
bool AsksToOpen(std::string_view Text) {
    constexpr std::string_view Property = "autoopen";
    const auto Found =
        std::search(Text.begin(), Text.end(), Property.begin(), Property.end(), [](char A, char B) {
            return std::tolower(static_cast<unsigned char>(A)) == B;
        });
    return Found != Text.end();
}

// Reads Text into a new Root; true when it was read. Refusals of the allowed kinds give
// false; anything else ends the run.
template <typename Root> bool ReadsInto(std::string_view Text, Root& Form) {
    try {
        ReadComponent(Text, Form);
        return true;
    } catch (const EReadError&) {
    } catch (const EConvertError&) {
    } catch (const EVaCommError&) {
    } catch (const std::exception& E) {
        std::fprintf(stderr, "unexpected exception: %s\n", E.what());
        FuzzCheck(false, "only EReadError, EConvertError or EVaCommError refuse a form");
    }
    return false;
}

// A form that was read writes a text that reads back to itself.
template <typename Root> void CheckRoundTrip(const Root& Form) {
    const std::string Written = WriteComponent(Form);
    Root Again;
    FuzzCheck(ReadsInto(Written, Again), "a written form reads back");
    FuzzCheck(WriteComponent(Again) == Written, "a written form reads back to the same text");
}

template <typename Root> void Exercise(std::string_view Text) {
    Root Form;
    if (ReadsInto(Text, Form)) {
        CheckRoundTrip(Form);
    }
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int* /*argc*/, char*** /*argv*/) {
    sample::RegisterSampleClasses();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* Data, std::size_t Size) {
    const std::string_view Text(reinterpret_cast<const char*>(Data), Size);
    if (AsksToOpen(Text)) {
        return 0;
    }
    Exercise<TCommForm>(Text);
    Exercise<sample::TSampleForm>(Text);
    return 0;
}
