#pragma once
// Published properties: what a class shows to the stored form. Each class that publishes
// builds one TClassInfo, once, listing its properties in publishing order (those of its
// base first) with their declared defaults, and returns it from ClassInfo().
//
//   const TClassInfo& TVaBuffers::ClassInfo() const {
//       static const TClassInfo Info = TPropertyList<TVaBuffers>("TVaBuffers", nullptr)
//           .Integer("ReadSize", &TVaBuffers::ReadSize, &TVaBuffers::SetReadSize, 4096)
//           ...
//           .Build();
//       return Info;
//   }

#include "runtime/Classes.h"
#include "runtime/SysUtils.h"

#include <any>
#include <cstdint>
#include <functional>
#include <limits>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <vector>

// The kind of a published property, which says how the stored form writes it.
enum class TTypeKind : std::uint8_t {
    tkBoolean,     // True / False
    tkInteger,     // decimal
    tkChar,        // one 8-bit character, written as #n
    tkEnumeration, // a member name
    tkSet,         // [member, member]
    tkString,      // 'quoted text'
    tkClass,       // an owned persistent object, written as its own properties (Name.Sub = v)
    tkMethod,      // a handler, written by its name
    tkStrings,     // a list of texts: ('first', 'second')
};

// One published property: its name, kind, default and the calls that get and set it.
struct TPropInfo {
    std::string Name;                              // as the stored form spells it
    TTypeKind Kind = TTypeKind::tkInteger;         // how it is written
    std::span<const std::string_view> MemberNames; // tkEnumeration and tkSet, in ordinal order
    std::optional<std::int64_t> Default;    // ordinal value or set bits; none: always written
    std::optional<std::string> DefaultText; // tkString; none: always written
    // tkInteger: the range the setter's parameter type can hold.
    std::int64_t MinValue = std::numeric_limits<std::int64_t>::min();
    std::int64_t MaxValue = std::numeric_limits<std::int64_t>::max();

    // Ordinal kinds (boolean, integer, char, enumeration, set as bits).
    std::function<std::int64_t(const TPersistent&)> GetOrdinal;
    std::function<void(TPersistent&, std::int64_t)> SetOrdinal;
    // tkString.
    std::function<std::string(const TPersistent&)> GetString;
    std::function<void(TPersistent&, const std::string&)> SetString;
    // tkStrings.
    std::function<std::vector<std::string>(const TPersistent&)> GetStrings;
    std::function<void(TPersistent&, const std::vector<std::string>&)> SetStrings;
    // tkClass: the owned object; its properties are read and written through it.
    std::function<TPersistent*(TPersistent&)> GetObject;
    std::function<const TPersistent*(const TPersistent&)> GetConstObject;
    // tkMethod: the bound handler's name (empty when unset or set in code), and binding a
    // published method (a std::any holding a TEventHandler) to the event; a handler of the
    // wrong signature raises EConvertError.
    std::function<std::string(const TPersistent&)> GetMethodName;
    std::function<void(TPersistent&, const std::any&)> SetMethod;
};

// The published properties of a class, in publishing order (TPersistent::ClassInfo).
class TClassInfo {
public:
    // The class named Name with Properties (TPropertyList::Build makes them).
    TClassInfo(std::string Name, std::vector<TPropInfo> Properties)
        : FName(std::move(Name)), FProperties(std::move(Properties)) {}

    // The class's name.
    [[nodiscard]] const std::string& Name() const { return FName; }
    // Its properties, the base class's first.
    [[nodiscard]] const std::vector<TPropInfo>& Properties() const { return FProperties; }
    // The property of that name (ASCII case ignored), or nullptr.
    [[nodiscard]] const TPropInfo* FindProperty(std::string_view Name) const;

private:
    std::string FName;
    std::vector<TPropInfo> FProperties;
};

// Builds the property list of class T. Getters are const member functions, setters take the
// value; a default of std::nullopt declares none.
template <typename T> class TPropertyList {
public:
    // Base: the base class's info whose properties come first, or nullptr.
    TPropertyList(std::string ClassName, const TClassInfo* Base) : FName(std::move(ClassName)) {
        if (Base != nullptr) {
            FProps = Base->Properties();
        }
    }

    // Publishes a property of each kind: Name, the getter and setter members, and the
    // default (a value equal to it is not written; std::nullopt: always written). Enum and
    // Set take the member names in ordinal order. Each returns the list, for the next.
    template <typename G, typename S>
    TPropertyList& Boolean(std::string Name, G Get, S Set, std::optional<bool> Default) {
        return Ordinal(std::move(Name), TTypeKind::tkBoolean, {}, Get, Set,
                       Default ? std::optional<std::int64_t>(*Default ? 1 : 0) : std::nullopt);
    }
    template <typename G, typename S>
    TPropertyList& Integer(std::string Name, G Get, S Set, std::optional<std::int64_t> Default) {
        return Ordinal(std::move(Name), TTypeKind::tkInteger, {}, Get, Set, Default);
    }
    template <typename G, typename S>
    TPropertyList& Char(std::string Name, G Get, S Set, std::optional<unsigned char> Default) {
        return Ordinal(std::move(Name), TTypeKind::tkChar, {}, Get, Set,
                       Default ? std::optional<std::int64_t>(*Default) : std::nullopt);
    }
    template <typename E, typename G, typename S>
    TPropertyList& Enum(std::string Name, G Get, S Set, std::span<const std::string_view> Names,
                        std::optional<E> Default) {
        return Ordinal(std::move(Name), TTypeKind::tkEnumeration, Names, Get, Set,
                       Default ? std::optional<std::int64_t>(static_cast<std::int64_t>(*Default))
                               : std::nullopt);
    }
    template <typename SetType, typename G, typename S>
    TPropertyList& Set(std::string Name, G Get, S SetFn, std::span<const std::string_view> Names,
                       std::optional<SetType> Default) {
        TPropInfo p;
        p.Name = std::move(Name);
        p.Kind = TTypeKind::tkSet;
        p.MemberNames = Names;
        if (Default) {
            p.Default = static_cast<std::int64_t>(Default->ToBits());
        }
        p.GetOrdinal = [Get](const TPersistent& o) {
            return static_cast<std::int64_t>((Self(o).*Get)().ToBits());
        };
        p.SetOrdinal = [SetFn](TPersistent& o, std::int64_t v) {
            (Self(o).*SetFn)(SetType::FromBits(static_cast<typename SetType::BitsType>(v)));
        };
        FProps.push_back(std::move(p));
        return *this;
    }
    template <typename G, typename S>
    TPropertyList& String(std::string Name, G Get, S SetFn,
                          std::optional<std::string> Default = std::nullopt) {
        TPropInfo p;
        p.Name = std::move(Name);
        p.Kind = TTypeKind::tkString;
        p.DefaultText = std::move(Default);
        p.GetString = [Get](const TPersistent& o) { return std::string((Self(o).*Get)()); };
        p.SetString = [SetFn](TPersistent& o, const std::string& v) { (Self(o).*SetFn)(v); };
        FProps.push_back(std::move(p));
        return *this;
    }
    // A list of texts; always written.
    template <typename G, typename S> TPropertyList& Strings(std::string Name, G Get, S SetFn) {
        TPropInfo p;
        p.Name = std::move(Name);
        p.Kind = TTypeKind::tkStrings;
        p.GetStrings = [Get](const TPersistent& o) {
            return std::vector<std::string>((Self(o).*Get)());
        };
        p.SetStrings = [SetFn](TPersistent& o, const std::vector<std::string>& v) {
            (Self(o).*SetFn)(v);
        };
        FProps.push_back(std::move(p));
        return *this;
    }
    // An owned object reached through a getter returning a pointer to it.
    template <typename G> TPropertyList& Object(std::string Name, G Get) {
        TPropInfo p;
        p.Name = std::move(Name);
        p.Kind = TTypeKind::tkClass;
        p.GetObject = [Get](TPersistent& o) -> TPersistent* { return (Self(o).*Get)(); };
        p.GetConstObject = [Get](const TPersistent& o) -> const TPersistent* {
            return (Self(o).*Get)();
        };
        FProps.push_back(std::move(p));
        return *this;
    }
    // An event: a public TEventHandler member.
    template <typename Handler> TPropertyList& Event(std::string Name, Handler T::*Member) {
        TPropInfo p;
        p.Name = std::move(Name);
        p.Kind = TTypeKind::tkMethod;
        p.GetMethodName = [Member](const TPersistent& o) { return (Self(o).*Member).Name(); };
        p.SetMethod = [Member, PropName = p.Name](TPersistent& o, const std::any& m) {
            const auto* h = std::any_cast<Handler>(&m);
            if (h == nullptr) {
                throw EConvertError("Handler of the wrong kind for event " + PropName);
            }
            Self(o).*Member = *h;
        };
        FProps.push_back(std::move(p));
        return *this;
    }

    // The class info of the properties published so far; the list is spent.
    [[nodiscard]] TClassInfo Build() { return TClassInfo(std::move(FName), std::move(FProps)); }

private:
    static T& Self(TPersistent& o) { return static_cast<T&>(o); }
    static const T& Self(const TPersistent& o) { return static_cast<const T&>(o); }

    template <typename G, typename S>
    TPropertyList& Ordinal(std::string Name, TTypeKind Kind,
                           std::span<const std::string_view> Names, G Get, S SetFn,
                           std::optional<std::int64_t> Default) {
        TPropInfo p;
        p.Name = std::move(Name);
        p.Kind = Kind;
        p.MemberNames = Names;
        p.Default = Default;
        p.GetOrdinal = [Get](const TPersistent& o) {
            return static_cast<std::int64_t>((Self(o).*Get)());
        };
        using Arg = std::remove_cvref_t<decltype((std::declval<const T&>().*Get)())>;
        if constexpr (std::is_integral_v<Arg> && !std::is_same_v<Arg, bool>) {
            p.MinValue = static_cast<std::int64_t>(std::numeric_limits<Arg>::min());
            constexpr auto max = std::numeric_limits<Arg>::max();
            p.MaxValue = std::cmp_less(max, std::numeric_limits<std::int64_t>::max())
                             ? static_cast<std::int64_t>(max)
                             : std::numeric_limits<std::int64_t>::max();
        }
        p.SetOrdinal = [SetFn](TPersistent& o, std::int64_t v) {
            (Self(o).*SetFn)(static_cast<Arg>(v));
        };
        FProps.push_back(std::move(p));
        return *this;
    }

    std::string FName;
    std::vector<TPropInfo> FProps;
};

// The registry of component classes the stored-form reader can create by class name. Class
// names compare without regard to ASCII case; registering a name again replaces its factory.
using TComponentFactory = std::function<TComponent*(TComponent* Owner)>;
void RegisterComponentClass(std::string ClassName, TComponentFactory Factory);
template <typename T> void RegisterComponentClass(std::string ClassName) {
    RegisterComponentClass(std::move(ClassName),
                           [](TComponent* Owner) -> TComponent* { return new T(Owner); });
}
[[nodiscard]] const TComponentFactory* FindComponentClass(std::string_view ClassName);
