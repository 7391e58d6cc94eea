// The manifest of the built programs, as the system's loader reads it: without one Windows
// stretches the window at DPIs above 96 (blurred) and gives it the old-style controls.

#include "platform/Win32Api.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstring>
#include <gtest/gtest.h>
#include <set>
#include <string>
#include <vector>

namespace {

// A program of the build by its path from this test program's folder.
std::string BesideThisProgram(std::string Relative) {
    std::array<char, MAX_PATH> Own{};
    GetModuleFileNameA(nullptr, Own.data(), static_cast<DWORD>(Own.size()));
    std::string Path = Own.data();
    Path.erase(Path.find_last_of('\\') + 1);
    std::ranges::replace(Relative, '/', '\\');
    return Path + Relative;
}

// The activation context of a program's manifest (resource 1), closed with the object.
class TProgramContext {
public:
    explicit TProgramContext(const std::string& Program) {
        ACTCTXA Request{};
        Request.cbSize = sizeof(Request);
        Request.dwFlags = ACTCTX_FLAG_RESOURCE_NAME_VALID;
        Request.lpSource = Program.c_str();
        Request.lpResourceName = MAKEINTRESOURCEA(1);
        FHandle = CreateActCtxA(&Request);
    }
    ~TProgramContext() {
        if (FHandle != INVALID_HANDLE_VALUE) {
            ReleaseActCtx(FHandle);
        }
    }
    TProgramContext(const TProgramContext&) = delete;
    TProgramContext& operator=(const TProgramContext&) = delete;

    [[nodiscard]] HANDLE Handle() const { return FHandle; }

    // A setting of the manifest's windowsSettings in the namespace of 2016.
    [[nodiscard]] std::wstring Setting(const wchar_t* Name) const {
        std::array<wchar_t, 128> Value{};
        SIZE_T Written = 0;
        if (QueryActCtxSettingsW(0, FHandle,
                                 L"http://schemas.microsoft.com/SMI/2016/WindowsSettings", Name,
                                 Value.data(), Value.size(), &Written) == FALSE) {
            return {};
        }
        return Value.data();
    }

    // The identities of the assemblies it takes, the program's own first.
    [[nodiscard]] std::vector<std::wstring> Assemblies() const {
        const std::vector<BYTE> Context = Query(nullptr, ActivationContextDetailedInformation);
        std::vector<std::wstring> Names;
        if (Context.empty()) {
            return Names;
        }
        const DWORD Count =
            reinterpret_cast<const ACTIVATION_CONTEXT_DETAILED_INFORMATION*>(Context.data())
                ->ulAssemblyCount;
        for (DWORD Index = 1; Index <= Count; ++Index) {
            std::vector<BYTE> Buffer =
                Query(&Index, AssemblyDetailedInformationInActivationContext);
            if (!Buffer.empty()) {
                Names.emplace_back(
                    reinterpret_cast<const ACTIVATION_CONTEXT_ASSEMBLY_DETAILED_INFORMATION*>(
                        Buffer.data())
                        ->lpAssemblyEncodedAssemblyIdentity);
            }
        }
        return Names;
    }

    // The Windows versions it names as supported, as GUID texts.
    [[nodiscard]] std::set<std::string> SupportedSystems() const {
        std::set<std::string> Systems;
        const std::vector<BYTE> Buffer =
            Query(nullptr, CompatibilityInformationInActivationContext);
        DWORD Count = 0;
        if (Buffer.size() >= sizeof(Count)) {
            std::memcpy(&Count, Buffer.data(), sizeof(Count));
        }
        // The count, then the elements: a GUID and a type, since Windows 10 version 1903
        // (and in Wine) followed by the highest version tested, 64 bits and aligned to them.
        const std::size_t Stride = Buffer.size() >= 8 + Count * 32 ? 32 : 20;
        const std::size_t Start = Stride == 32 ? 8 : 4;
        for (DWORD I = 0; I < Count && Start + (I + 1) * Stride <= Buffer.size(); ++I) {
            GUID Id{};
            ACTCTX_COMPATIBILITY_ELEMENT_TYPE Type{};
            std::memcpy(&Id, Buffer.data() + Start + I * Stride, sizeof(Id));
            std::memcpy(&Type, Buffer.data() + Start + I * Stride + sizeof(Id), sizeof(Type));
            if (Type == ACTCTX_COMPATIBILITY_ELEMENT_TYPE_OS) {
                std::array<char, 40> Text{};
                std::snprintf(Text.data(), Text.size(),
                              "%08lx-%04x-%04x-%02x%02x-%02x%02x%02x%02x%02x%02x", Id.Data1,
                              Id.Data2, Id.Data3, Id.Data4[0], Id.Data4[1], Id.Data4[2],
                              Id.Data4[3], Id.Data4[4], Id.Data4[5], Id.Data4[6], Id.Data4[7]);
                Systems.insert(Text.data());
            }
        }
        return Systems;
    }

private:
    [[nodiscard]] std::vector<BYTE> Query(void* Subject, ULONG Class) const {
        SIZE_T Needed = 0;
        QueryActCtxW(0, FHandle, Subject, Class, nullptr, 0, &Needed);
        std::vector<BYTE> Buffer(Needed);
        if (Needed == 0 || QueryActCtxW(0, FHandle, Subject, Class, Buffer.data(), Buffer.size(),
                                        &Needed) == FALSE) {
            Buffer.clear();
        }
        return Buffer;
    }

    HANDLE FHandle = INVALID_HANDLE_VALUE;
};

TEST(ProgramManifest, DeclaresPerMonitorDpiCommonControls6AndTheSupportedWindows) {
    for (const char* Program : {KIVO_WINDOW_PROGRAM, KIVO_READ_PROGRAM}) {
        SCOPED_TRACE(Program);
        const TProgramContext Context(BesideThisProgram(Program));
        ASSERT_NE(Context.Handle(), INVALID_HANDLE_VALUE)
            << "no manifest the system accepts (error " << GetLastError() << ")";
        EXPECT_EQ(Context.Setting(L"dpiAwareness"), L"PerMonitorV2, PerMonitor");
        const std::vector<std::wstring> Assemblies = Context.Assemblies();
        EXPECT_TRUE(std::ranges::any_of(Assemblies, [](const std::wstring& Name) {
            return Name.starts_with(L"Microsoft.Windows.Common-Controls,") &&
                   Name.find(L"version=\"6.") != std::wstring::npos;
        })) << "the common controls 6 are not among the assemblies";
        // Windows 7, 8, 8.1, and 10 with 11.
        EXPECT_EQ(Context.SupportedSystems(),
                  (std::set<std::string>{"35138b9a-5d96-4fbd-8e2d-a2440225f93a",
                                         "4a2f28e3-53b9-4441-ba9c-d69d4a4a6e38",
                                         "1f676c76-80e1-4239-95bb-83d0f6d0da78",
                                         "8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a"}));
    }
}

} // namespace
