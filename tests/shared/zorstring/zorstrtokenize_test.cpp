#include "zorglobals.h"
#include "zorstrtokenize.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

typedef char* (*Tokenizer)(char*, const char*, char**);

/// Every field a re-entrant tokenizer yields; "(null)" marks the end.
std::vector<std::string> fields(Tokenizer next, std::string text, const char* delim)
{
    std::vector<std::string> out;
    char* position = nullptr;
    for (char* f = next(&text[0], delim, &position);; f = next(nullptr, delim, &position)) {
        if (f == nullptr) {
            out.push_back("(null)");
            return out;
        }
        out.push_back(f);
    }
}

typedef std::vector<std::string> Fields;

} // namespace

TEST(ZorTokenizeTest, ReentrantFormsKeepOrSkipEmptyFields)
{
    EXPECT_EQ(fields(zorTokenize_r, "/zor/public/", "/"), (Fields{"", "zor", "public", "(null)"}));
    EXPECT_EQ(fields(zorTokenize_r, "a//b", "/"), (Fields{"a", "", "b", "(null)"}));
    EXPECT_EQ(fields(zorTokenize_r, "/a", "/"), (Fields{"", "a", "(null)"}));
    EXPECT_EQ(fields(zorTokenize_r, "a/", "/"), (Fields{"a", "(null)"}));
    EXPECT_EQ(fields(zorTokenize_r, "", "/"), (Fields{"(null)"}));
    EXPECT_EQ(fields(zorTokenize_r, "a,b;;c", ",;"), (Fields{"a", "b", "", "c", "(null)"}));

    EXPECT_EQ(fields(zorStrTok_r, "//x//", "/"), (Fields{"x", "(null)"}));
    EXPECT_EQ(fields(zorStrTok_r, "a//b", "/"), (Fields{"a", "b", "(null)"}));
    EXPECT_EQ(fields(zorStrTok_r, "", "/"), (Fields{"(null)"}));
    EXPECT_EQ(fields(zorStrTok_r, "///", "/"), (Fields{"(null)"}));
    EXPECT_EQ(fields(zorStrTok_r, "a,b;;c", ",;"), (Fields{"a", "b", "c", "(null)"}));

    // No position pointer, or continuing with none saved: nothing, no crash.
    char text[] = "a/b";
    EXPECT_EQ(zorTokenize_r(text, "/", nullptr), nullptr);
    EXPECT_EQ(zorStrTok_r(text, "/", nullptr), nullptr);
    char* position = nullptr;
    EXPECT_EQ(zorTokenize_r(nullptr, "/", &position), nullptr);
    EXPECT_EQ(zorStrTok_r(nullptr, "/", &position), nullptr);

    // The fields are cut in place.
    char inPlace[] = "ab/cd";
    position = nullptr;
    char* first = zorTokenize_r(inPlace, "/", &position);
    EXPECT_EQ(first, inPlace);
    EXPECT_EQ(position, inPlace + 3);
    EXPECT_EQ(inPlace[2], '\0');
}

TEST(ZorTokenizeTest, PlainFormsWarnFromDebugLevel99)
{
    char a[] = "a//b";
    char b[] = "a//b";
    zorGlobalDebugLevel = 98;
    testing::internal::CaptureStderr();
    EXPECT_STREQ(zorTokenize(a, "/"), "a");
    EXPECT_STREQ(zorTokenize(nullptr, "/"), "");
    EXPECT_STREQ(zorStrTok(b, "/"), "a");
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");

    zorGlobalDebugLevel = 99;
    testing::internal::CaptureStderr();
    EXPECT_STREQ(zorTokenize(nullptr, "/"), "b");
    EXPECT_EQ(zorTokenize(nullptr, "/"), nullptr);
    EXPECT_STREQ(zorStrTok(nullptr, "/"), "b");
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "WARNING:  zorTokenize() is not thread safe\n"
              "WARNING:  zorTokenize() is not thread safe\n"
              "WARNING:  zorStrTok() is not thread safe\n");

    // The unit's own level warns just the same.
    zorGlobalDebugLevel = 0;
    giDebug_strtokenize = 120;
    char empty[] = "";
    testing::internal::CaptureStderr();
    EXPECT_EQ(zorStrTok(empty, "/"), nullptr);
    EXPECT_EQ(zorTokenize(empty, "/"), nullptr);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "WARNING:  zorStrTok() is not thread safe\nWARNING:  zorTokenize() is not thread safe\n");
    giDebug_strtokenize = 0;
}
