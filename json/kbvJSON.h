// A small JSON document: an ordered list of named nodes, each holding a scalar
// as text or a child document for an object or array.
//
// The reader is forgiving (it never raises; malformed input leaves the nodes
// read so far) and keeps every value's source text, so a document read and
// written again comes out the same apart from blanks, comments, optional
// commas and the letter case of keywords. The writer is compact.
//
// Documents and nodes are shared: a handle returned by a lookup or an add
// stays valid while it is held, even after its document dropped the node.
// Nodes, their text and child documents are kept in one store per document
// made by the program, so a large reply costs few allocations.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "core/Persistent.h"

enum TkbvJSONtype : uint8_t {
    kbvJSONUndefined = 0,
    kbvJSONObject = 1,
    kbvJSONList = 2,
    kbvJSONString = 3,
    kbvJSONNumber = 4,
    kbvJSONBoolean = 5,
    kbvJSONNull = 6,
};

// The reader descends at most this many nested objects and arrays: Read
// leaves the document empty for deeper text, and Validate rejects it.
constexpr int kbvJSONMaxDepth = 512;

// The verdict of TkbvJSON::Validate.
struct TkbvJSONValidation {
    bool Ok = true;
    // Byte offset of the first fault: where the text stops being JSON, the
    // opening quote of an unterminated string, the start of a bad number or
    // escape, the bracket that nests too deep; the text's length when it
    // ends too early.
    size_t Offset = 0;
    // What is wrong, e.g. "unexpected character 'x'", "unterminated string",
    // "text after the value"; empty when Ok.
    std::string Reason;
};

class IkbvJSON;
class IkbvObjectJSON;
using IkbvJSONPtr = std::shared_ptr<IkbvJSON>;
using IkbvObjectJSONPtr = std::shared_ptr<IkbvObjectJSON>;

class IkbvJSON {
public:
    virtual ~IkbvJSON() = default;
    virtual int Count() const = 0;
    virtual IkbvObjectJSONPtr GetNode(std::string_view Name) const = 0;
    virtual void SetNode(std::string_view Name, const IkbvObjectJSONPtr& Node) = 0;
    virtual IkbvObjectJSONPtr GetItem(int Index) const = 0;
    virtual void SetItem(int Index, const IkbvObjectJSONPtr& Node) = 0;
    virtual bool IsArray() const = 0;
    virtual void SetIsArray(bool Value) = 0;
    virtual IkbvObjectJSONPtr AddPair(const std::string& Name, const std::string& Value) = 0;
    virtual IkbvObjectJSONPtr AddPair(const std::string& Name, int32_t Value) = 0;
    virtual IkbvObjectJSONPtr AddPair(const std::string& Name, int64_t Value) = 0;
    virtual IkbvObjectJSONPtr AddPair(const std::string& Name, double Value) = 0;
    virtual IkbvObjectJSONPtr AddPair(const std::string& Name, bool Value) = 0;
    virtual IkbvObjectJSONPtr AddObject(const std::string& Name, std::string_view JSONText) = 0;
    virtual IkbvObjectJSONPtr AddArray(const std::string& Name, std::string_view JSONText) = 0;
    virtual void Clear() = 0;
    virtual void Read(std::string_view JSONText) = 0;
    virtual std::string Text() const = 0;

    // Keeps string literals from converting to bool.
    IkbvObjectJSONPtr AddPair(const std::string& Name, const char* Value) {
        return AddPair(Name, std::string(Value));
    }
};

class IkbvObjectJSON {
public:
    virtual ~IkbvObjectJSON() = default;
    virtual IkbvJSONPtr JSONObject() = 0;
    virtual TkbvJSONtype JSONType() const = 0;
    virtual void SetJSONObject(const IkbvJSONPtr& Value) = 0;
    virtual void SetJSONType(TkbvJSONtype Value) = 0;
    virtual IkbvObjectJSONPtr GetNode(std::string_view Name) = 0;
    virtual void SetNode(std::string_view Name, const IkbvObjectJSONPtr& Node) = 0;
    virtual IkbvObjectJSONPtr GetItem(int Index) = 0;
    virtual void SetItem(int Index, const IkbvObjectJSONPtr& Node) = 0;
    // Objects and arrays give their child document's text; scalars their stored text.
    virtual std::string Value() const = 0;
    virtual void SetValue(std::string_view Value) = 0;
    virtual int Count() const = 0;
    virtual std::string_view Name() const = 0;
    virtual void SetName(std::string_view Value) = 0;
    virtual void Clear() = 0;
    // False when a string value is written as raw JSON, without quotes.
    virtual bool Quoted() const = 0;
    virtual void SetQuoted(bool Value) = 0;
};

class TkbvJSON;
class TkbvJSONStore;

// A node lives in a store shared with its document (see TkbvJSON); its name
// and value are views of text the store keeps.
class TkbvObjectJSON final : public IkbvObjectJSON {
public:
    // Only a store makes nodes; a node of its own comes from Create.
    class Key {
        Key() = default;
        friend class TkbvJSONStore;
    };
    TkbvObjectJSON(Key, TkbvJSONStore& AStore, std::string_view AName, TkbvJSONtype AType, std::string_view AValue)
        : FValue(AValue), FName(AName), FStore(&AStore), FJSONType(AType) {}

    // A node outside any document, for SetNode and SetItem.
    static IkbvObjectJSONPtr Create(std::string_view AName, TkbvJSONtype AType, std::string_view AValue);

    IkbvJSONPtr JSONObject() override;
    TkbvJSONtype JSONType() const override { return FJSONType; }
    void SetJSONObject(const IkbvJSONPtr& Value) override;
    void SetJSONType(TkbvJSONtype Value) override { FJSONType = Value; }
    IkbvObjectJSONPtr GetNode(std::string_view Name) override;
    void SetNode(std::string_view Name, const IkbvObjectJSONPtr& Node) override;
    IkbvObjectJSONPtr GetItem(int Index) override;
    void SetItem(int Index, const IkbvObjectJSONPtr& Node) override;
    std::string Value() const override;
    void SetValue(std::string_view Value) override;
    int Count() const override;
    std::string_view Name() const override { return FName; }
    void SetName(std::string_view Value) override;
    void Clear() override { FJSONObject = nullptr; }
    bool Quoted() const override { return FQuoted; }
    void SetQuoted(bool Value) override { FQuoted = Value; }

    // The child document, created on first use; an object unless a list.
    TkbvJSON& Child();

private:
    friend class TkbvJSON;

    std::string_view FValue;
    std::string_view FName;
    std::unique_ptr<std::string> FOwnValue;  // FValue once the program replaced it
    TkbvJSON* FJSONObject = nullptr;
    TkbvJSONStore* FStore;
    TkbvJSONtype FJSONType;
    bool FQuoted = true;
};

class TkbvJSON : public TObject, public IkbvJSON {
public:
    TkbvJSON() = default;
    ~TkbvJSON() override;
    TkbvJSON(const TkbvJSON&) = delete;
    TkbvJSON& operator=(const TkbvJSON&) = delete;

    int Count() const override { return static_cast<int>(FData.size()); }
    // The first node whose name equals Name exactly, or none.
    IkbvObjectJSONPtr GetNode(std::string_view Name) const override;
    // Puts Node where the first node named Name stands; the displaced node stays
    // owned by the document. No effect when no node has the name.
    void SetNode(std::string_view Name, const IkbvObjectJSONPtr& Node) override;
    // The node at Index, or none when Index is at or past the end; a negative
    // Index raises EListError.
    IkbvObjectJSONPtr GetItem(int Index) const override;
    void SetItem(int Index, const IkbvObjectJSONPtr& Node) override;
    bool IsArray() const override { return FIsArray; }
    void SetIsArray(bool Value) override { FIsArray = Value; }
    bool EscapeStrings() const { return FEscapeStrings; }
    void SetEscapeStrings(bool Value) { FEscapeStrings = Value; }

    // Each add replaces the value of the first node with that name, or appends
    // a new node; it returns the node either way.
    using IkbvJSON::AddPair;
    IkbvObjectJSONPtr AddPair(const std::string& Name, const std::string& Value) override;
    IkbvObjectJSONPtr AddPair(const std::string& Name, int32_t Value) override;
    IkbvObjectJSONPtr AddPair(const std::string& Name, int64_t Value) override;
    IkbvObjectJSONPtr AddPair(const std::string& Name, double Value) override;
    IkbvObjectJSONPtr AddPair(const std::string& Name, bool Value) override;
    // A null node.
    IkbvObjectJSONPtr AddPair(const std::string& Name);
    IkbvObjectJSONPtr AddObject(const std::string& Name, std::string_view JSONText) override;
    IkbvObjectJSONPtr AddArray(const std::string& Name, std::string_view JSONText) override;

    void Clear() override;
    // Replaces the content with JSONText read as JSON; never raises. Text
    // nested deeper than kbvJSONMaxDepth gives an empty document.
    void Read(std::string_view JSONText) override;
    // The strict check beside the forgiving Read: whether JSONText is exactly
    // one JSON text (RFC 8259), so that a caller can tell a reply that is no
    // JSON (a gateway's HTML page) or a cut one from an empty object before
    // reading it. One value of any kind between blanks (space, tab, CR, LF);
    // none of Read's extensions (comments, optional commas, keywords in
    // capitals, "+1", "01"); strings of well-formed UTF-8 whose \u escapes
    // pair their surrogates; at most kbvJSONMaxDepth levels. It builds
    // nothing, allocates only to describe a fault, and runs in constant stack
    // space whatever the input. A top-level scalar is valid JSON, though Read
    // keeps only objects and arrays.
    static TkbvJSONValidation Validate(std::string_view JSONText);
    std::string Text() const override;

    // Appends the document's text to Out.
    void WriteText(std::string& Out) const;

protected:
    // Appends one node; ValueOnly leaves out the name (array elements).
    virtual void WriteNode(std::string& Out, const TkbvObjectJSON& Node, bool ValueOnly) const;

private:
    friend class TkbvJSONStore;
    friend class TkbvObjectJSON;
    class Reader;

    // A place in the node list: a node, or an array element read from text
    // as a scalar, kept as a reference into that text until its node is asked
    // for. Most elements of a large reply (vectors of numbers) never are, so
    // the document stays a fraction of the size a node per element would take.
    struct TSlot {
        TkbvObjectJSON* Node;
        uint32_t ValueOffset;  // in FSource
        uint32_t ValueLength : 24;
        uint32_t Kind : 8;
    };
    static constexpr size_t MaxSlotValueLength = (1u << 24) - 1;

    static constexpr size_t NotFound = static_cast<size_t>(-1);
    size_t IndexOfName(std::string_view Name) const;
    // The node of the slot at Index, made first for an element kept as text.
    TkbvObjectJSON* NodeAt(size_t Index) const;
    TkbvJSONStore& Store();
    IkbvObjectJSONPtr Handle(TkbvObjectJSON* Node) const;
    TkbvObjectJSON* AddValue(const std::string& Name, std::string_view Value, TkbvJSONtype Kind);
    void Place(TSlot& Slot, const IkbvObjectJSONPtr& Node);
    void WriteSlot(std::string& Out, const TSlot& Slot, bool ValueOnly) const;

    bool FIsArray = false;
    bool FEscapeStrings = false;
    mutable std::vector<TSlot> FData;
    // The text the elements kept as text refer to (kept by the store).
    const char* FSource = nullptr;
    // A document made by the program owns the store that holds its nodes,
    // their text and its child documents; a child document lives in the store
    // of the document that made it. Handles share the store, so nodes outlive
    // a Clear while held.
    std::shared_ptr<TkbvJSONStore> FOwnStore;
    TkbvJSONStore* FStore = nullptr;
};

// JSON string escaping of plain UTF-8 text: control characters, the double
// quote, "/" and the backslash, and every character above ASCII as \uXXXX
// (UTF-16 units, upper-case hex). Bytes that are not UTF-8 become \uFFFD.
std::string EscapeString(std::string_view Text);

// The inverse: JSON string text (without the quotes) to plain UTF-8 text.
// \uXXXX surrogate pairs become one character; a lone surrogate becomes
// U+FFFD; an unknown or incomplete escape is kept as it stands.
std::string UnescapeString(std::string_view Text);

// The text a number added by the program is written as: integers in decimal,
// Doubles in the shortest general form with at most 15 significant digits,
// "." as decimal point, "E" in exponent form. Not-a-number and infinities,
// which JSON cannot express, are written as null.
std::string FormatJSONNumber(double Value);
