#include "core/Persistent.h"

#include <gtest/gtest.h>

#include "core/Exceptions.h"
#include "core/Format.h"

namespace {

class TColourOptions : public TPersistent {
public:
    int Red = 0;
    void Assign(const TPersistent& Source) override {
        if (auto* Other = dynamic_cast<const TColourOptions*>(&Source))
            Red = Other->Red;
        else
            TPersistent::Assign(Source);
    }
};

class TSizeOptions : public TPersistent {};

}  // namespace

TEST(Persistent, AssignCopiesFromItsOwnClassAndNamesBothClassesOtherwise) {
    TColourOptions A, B;
    B.Red = 7;
    A.Assign(B);
    EXPECT_EQ(A.Red, 7);

    TSizeOptions Size;
    try {
        A.Assign(Size);
        FAIL() << "Assign from a foreign class must raise";
    } catch (const EConvertError& E) {
        EXPECT_STREQ(E.what(), "Cannot assign a TSizeOptions to a TColourOptions");
    }
    EXPECT_THROW(Size.Assign(A), EConvertError);
}

TEST(Format, TakesStringsAndNumbers) {
    EXPECT_EQ(Format("%s=%d", std::string("n"), 42), "n=42");
    EXPECT_EQ(Format("Socket Error # %d\r\n%s", 10054, "Connection reset by peer."),
              "Socket Error # 10054\r\nConnection reset by peer.");
    EXPECT_EQ(Format("%s", std::string(5000, 'x')).size(), 5000u);
}
