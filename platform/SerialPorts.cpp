// What both platforms' port lists share: their order, and which port is the console.

#include "platform/SerialPorts.h"

#include <algorithm>
#include <cctype>
#include <string_view>

namespace {

bool IsDigit(char C) {
    return std::isdigit(static_cast<unsigned char>(C)) != 0;
}

// Compares names piece by piece: runs of digits by their value, everything else by character.
bool NaturalLess(std::string_view A, std::string_view B) {
    std::size_t I = 0;
    std::size_t J = 0;
    while (I < A.size() && J < B.size()) {
        if (IsDigit(A[I]) && IsDigit(B[J])) {
            const std::size_t StartA = I;
            const std::size_t StartB = J;
            while (I < A.size() && IsDigit(A[I])) {
                ++I;
            }
            while (J < B.size() && IsDigit(B[J])) {
                ++J;
            }
            std::string_view NumberA = A.substr(StartA, I - StartA);
            std::string_view NumberB = B.substr(StartB, J - StartB);
            NumberA.remove_prefix(std::min(NumberA.find_first_not_of('0'), NumberA.size()));
            NumberB.remove_prefix(std::min(NumberB.find_first_not_of('0'), NumberB.size()));
            if (NumberA.size() != NumberB.size()) {
                return NumberA.size() < NumberB.size();
            }
            if (NumberA != NumberB) {
                return NumberA < NumberB;
            }
            continue;
        }
        if (A[I] != B[J]) {
            return A[I] < B[J];
        }
        ++I;
        ++J;
    }
    return A.size() - I < B.size() - J;
}

} // namespace

bool IsSystemConsole(const std::string& DevicePath) {
    const std::vector<TSerialPortInfo> Ports = ListSerialPorts();
    return std::any_of(Ports.begin(), Ports.end(), [&DevicePath](const TSerialPortInfo& Port) {
        return Port.Console && SamePortDevice(Port.Path, DevicePath);
    });
}

void SortSerialPorts(std::vector<TSerialPortInfo>& Ports) {
    std::stable_sort(Ports.begin(), Ports.end(),
                     [](const TSerialPortInfo& A, const TSerialPortInfo& B) {
                         return NaturalLess(A.Name, B.Name);
                     });
}
