// The root object and persistent objects that copy themselves with Assign.
#pragma once

#include <string>

class TObject {
public:
    virtual ~TObject() = default;
    // The class name of the most derived type, without namespaces.
    std::string ClassName() const;
};

class TPersistent : public TObject {
public:
    // Copies Source into this object; a class that cannot take Source raises
    // EConvertError "Cannot assign a <source class> to a <this class>".
    virtual void Assign(const TPersistent& Source);

protected:
    virtual void AssignTo(TPersistent& Dest) const;
};
