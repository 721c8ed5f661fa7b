#include "core/StringList.h"

#include <gtest/gtest.h>

#include <string>

#include "core/Exceptions.h"

namespace {
// The lines of AText, each closed by "|".
std::string Split(const std::string& AText) {
    TStringList S;
    S.SetText(AText);
    std::string Result;
    for (int I = 0; I < S.Count(); ++I)
        Result += S.Strings(I) + "|";
    return Result;
}
}  // namespace

TEST(StringList, TextSplitsAtEveryLineBreakAndJoinsWithCRLF) {
    EXPECT_EQ(Split("a\r\nb\nc\rd"), "a|b|c|d|");
    EXPECT_EQ(Split("a\r\n"), "a|");  // a final break adds no line
    EXPECT_EQ(Split("\r\n\r\nx\n\r"), "||x||");  // LF CR is two breaks
    EXPECT_EQ(Split("a\r\r\nb"), "a||b|");
    EXPECT_EQ(Split(""), "");
    TStringList S;
    S.SetText("one\n\nthree");
    EXPECT_EQ(S.Text(), "one\r\n\r\nthree\r\n");
}

TEST(StringList, IndexesOutsideTheListRaise) {
    TStringList S;
    S.Add("a");
    S.Insert(1, "c");  // Count is a valid place to insert
    S.Insert(1, "b");
    S.Delete(0);
    EXPECT_EQ(S.Text(), "b\r\nc\r\n");
    try {
        S.Strings(2);
        FAIL();
    } catch (const EListError& E) {
        EXPECT_STREQ(E.what(), "List index out of bounds (2)");
    }
    EXPECT_THROW(S.SetStrings(-1, "x"), EListError);
    EXPECT_THROW(S.Insert(3, "x"), EListError);
    EXPECT_THROW(S.Delete(2), EListError);
}

TEST(StringList, NameValueEdges) {
    TStringList S;
    S.SetText("a=1\nURL=x?y=z\nbare\n=empty name\nurl=second");
    EXPECT_EQ(S.Values("url"), "x?y=z");  // first of equal names, split at the first '='
    EXPECT_EQ(S.IndexOf("BARE"), 2);
    EXPECT_EQ(S.IndexOf("\xC3\xA4"), -1);   // no case folding beyond ASCII
    EXPECT_EQ(S.IndexOfName("bare"), -1);  // a line without separator has no name
    EXPECT_EQ(S.Names(2) + S.ValueFromIndex(2), "");
    EXPECT_EQ(S.Values(""), "empty name");
    EXPECT_EQ(S.ValueFromIndex(S.IndexOfName("missing")), "");

    S.SetValues("url", "new");  // replaced in place
    S.SetValues("c", "3");      // appended
    S.SetValues("a", "");       // deleted
    S.SetValues("missing", "");
    EXPECT_EQ(S.Text(), "url=new\r\nbare\r\n=empty name\r\nurl=second\r\nc=3\r\n");

    S.SetNameValueSeparator(':');
    S.SetValues("Accept", " */*");
    EXPECT_EQ(S.Strings(S.Count() - 1), "Accept: */*");
    TStringList Copy;
    Copy.Assign(S);
    Copy.AddStrings(Copy);
    EXPECT_EQ(Copy.Count(), 2 * S.Count());
    EXPECT_EQ(Copy.Values("accept"), " */*");
    struct TOther : TPersistent {};
    EXPECT_THROW(Copy.Assign(TOther()), EConvertError);
}
