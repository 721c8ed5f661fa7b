#include "core/Persistent.h"

#include <cxxabi.h>

#include <cstdlib>
#include <memory>
#include <typeinfo>

#include "core/Exceptions.h"
#include "core/Format.h"

std::string TObject::ClassName() const {
    const char* Mangled = typeid(*this).name();
    int Status = 0;
    std::unique_ptr<char, decltype(&std::free)> Demangled(
        abi::__cxa_demangle(Mangled, nullptr, nullptr, &Status), &std::free);
    std::string Name = Status == 0 && Demangled ? Demangled.get() : Mangled;
    auto Scope = Name.rfind("::");
    return Scope == std::string::npos ? Name : Name.substr(Scope + 2);
}

void TPersistent::Assign(const TPersistent& Source) { Source.AssignTo(*this); }

void TPersistent::AssignTo(TPersistent& Dest) const {
    throw EConvertError(Format("Cannot assign a %s to a %s", ClassName(), Dest.ClassName()));
}
