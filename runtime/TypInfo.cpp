#include "runtime/TypInfo.h"

#include <map>
#include <mutex>

const TPropInfo* TClassInfo::FindProperty(std::string_view Name) const {
    for (const TPropInfo& p : FProperties) {
        if (SameText(p.Name, Name)) {
            return &p;
        }
    }
    return nullptr;
}

namespace {

struct CaseInsensitiveLess {
    using is_transparent = void;
    bool operator()(std::string_view A, std::string_view B) const {
        auto lower = [](unsigned char c) { return (c >= 'A' && c <= 'Z') ? c - 'A' + 'a' : c; };
        const std::size_t n = std::min(A.size(), B.size());
        for (std::size_t i = 0; i < n; ++i) {
            const int a = lower(static_cast<unsigned char>(A[i]));
            const int b = lower(static_cast<unsigned char>(B[i]));
            if (a != b) {
                return a < b;
            }
        }
        return A.size() < B.size();
    }
};

// Registered classes. Map nodes never move, so a factory found stays valid.
struct ClassRegistry {
    std::mutex Lock;
    std::map<std::string, TComponentFactory, CaseInsensitiveLess> Factories;
};

ClassRegistry& Registry() {
    static ClassRegistry Instance;
    return Instance;
}

} // namespace

void RegisterComponentClass(std::string ClassName, TComponentFactory Factory) {
    std::lock_guard guard(Registry().Lock);
    Registry().Factories.insert_or_assign(std::move(ClassName), std::move(Factory));
}

const TComponentFactory* FindComponentClass(std::string_view ClassName) {
    std::lock_guard guard(Registry().Lock);
    auto found = Registry().Factories.find(ClassName);
    return found != Registry().Factories.end() ? &found->second : nullptr;
}
