// The base of every OpenAI request and response object: typed fields paired
// with a JSON document. A request writes its fields into the document and
// hands out the compact text (AsString); a response reads a reply into the
// document and fills its fields from it (Read, or Create<T> for a new one).
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "core/Persistent.h"
#include "json/kbvJSON.h"

using TkbvArrayOfString = std::vector<std::string>;
using TkbvArrayOfDouble = std::vector<double>;

// A read/write property Name() / SetName(v) over a field.
#define KBV_PROPERTY(Type, Name, Field)       \
    const Type& Name() const { return Field; } \
    void Set##Name(Type Value) { Field = std::move(Value); }

// An array property: the owned array itself, to read and to fill.
#define KBV_ARRAY_PROPERTY(Type, Name, Field) \
    Type& Name() { return Field; }            \
    const Type& Name() const { return Field; }

// A single owned sub-object: the getter creates it empty on first use.
#define KBV_OBJECT_PROPERTY(Type, Name, Field)              \
    Type& Name() { return CreateOnFirstUse(Field); }        \
    void Set##Name(std::unique_ptr<Type> Value) { Field = std::move(Value); }

class TkbvOpenAIClass : public TObject {
public:
    TkbvOpenAIClass() = default;
    ~TkbvOpenAIClass() override;
    TkbvOpenAIClass(const TkbvOpenAIClass&) = delete;
    TkbvOpenAIClass& operator=(const TkbvOpenAIClass&) = delete;

    // A new T filled from a reply text. A virtual call cannot reach T::DoRead
    // from a constructor, so this is how objects are made from JSON.
    template <class T>
    static std::unique_ptr<T> Create(const std::string& aJSON) {
        auto Result = std::make_unique<T>();
        Result->Read(aJSON);
        return Result;
    }

    // Replaces the document with aJSON, then fills the fields from it.
    void Read(const std::string& aJSON);
    // Writes the fields into the document, then returns its compact text. The
    // document is kept, so a second call replaces the values written before.
    std::string AsString();

    // The one way a text goes into a request: escaped, and always a JSON
    // string, even when it begins with "{", "[" or a double quote.
    static IkbvObjectJSONPtr AddString(IkbvJSON& Doc, const std::string& Key, const std::string& Value);

protected:
    virtual void DoRead() {}
    virtual void DoWrite() {}

    TkbvJSON& GetJSON();

    // Typed value of a top-level key; a missing key gives the default, a
    // value that cannot convert raises EConvertError naming key and text.
    std::string DoReadString(const std::string& Key);
    int32_t DoReadInteger(const std::string& Key);
    double DoReadDouble(const std::string& Key);
    bool DoReadBoolean(const std::string& Key);
    // Each element of the array under Key converted as by DoReadDouble.
    TkbvArrayOfDouble DoReadDoubleArray(const std::string& Key);

    // Fills Items with one new T per element of the array under Key; leaves
    // Items as they are when the key is missing or the array empty.
    template <class T>
    void DoReadArray(const std::string& Key, std::vector<std::unique_ptr<T>>& Items) {
        auto Node = GetJSON().GetNode(Key);
        if (!Node || Node->Count() == 0)
            return;
        Items.clear();
        for (int i = 0; i < Node->Count(); ++i)
            Items.push_back(Create<T>(Node->GetItem(i)->Value()));
    }

    // Reads the object under Key into Object (created on first use); leaves
    // Object untouched when the key is missing.
    template <class T>
    void DoReadObject(const std::string& Key, std::unique_ptr<T>& Object) {
        if (auto Node = GetJSON().GetNode(Key))
            CreateOnFirstUse(Object).Read(Node->Value());
    }

    template <class T>
    static T& CreateOnFirstUse(std::unique_ptr<T>& Object) {
        if (!Object)
            Object = std::make_unique<T>();
        return *Object;
    }

    // Writers for the request classes: each adds the pair only when the value
    // is set (not empty, not 0, true); the key order is the call order.
    void DoWriteString(const std::string& Key, const std::string& Value);
    void DoWriteInteger(const std::string& Key, int32_t Value);
    void DoWriteDouble(const std::string& Key, double Value);
    void DoWriteBoolean(const std::string& Key, bool Value);
    // Text that is a JSON object or array by contract (a bias map) goes in
    // raw; any other text is written as a string.
    void DoWriteJSONText(const std::string& Key, const std::string& Value);
    // The strings as an array; equal strings collapse into the first.
    void DoWriteStrings(const std::string& Key, const TkbvArrayOfString& Values);
    // The array node under Key, its elements cleared so that a second write
    // leaves no element of the first behind.
    IkbvJSONPtr DoWriteArray(const std::string& Key);


private:
    std::unique_ptr<TkbvJSON> FJSON;
};
