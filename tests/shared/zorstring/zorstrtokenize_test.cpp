#include "zorglobals.h"
#include "zorstrtokenize.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using Fields = std::vector<std::string>;

/// Every field a re-entrant tokenizer yields before it returns null.
static Fields fields(char* (*next)(char*, const char*, char**), std::string text, const char* delim)
{
    Fields out;
    char* at = nullptr;
    for (char* f = next(&text[0], delim, &at); f != nullptr && out.size() < 9; f = next(nullptr, delim, &at)) {
        out.push_back(f);
    }
    return out;
}

TEST(ZorTokenizeTest, ReentrantFormsKeepOrSkipEmptyFields)
{
    struct Case { const char *text, *delim; Fields kept, skipped; };
    for (const Case& c : std::vector<Case>{{"//x//", "/", {"", "", "x", ""}, {"x"}},
                                           {"", "/", {}, {}},
                                           {"a,b;;c", ",;", {"a", "b", "", "c"}, {"a", "b", "c"}}}) {
        EXPECT_EQ(fields(zorTokenize_r, c.text, c.delim), c.kept) << c.text;
        EXPECT_EQ(fields(zorStrTok_r, c.text, c.delim), c.skipped) << c.text;
    }
    char text[] = "a/b";
    char* position = nullptr;
    for (auto next : {zorTokenize_r, zorStrTok_r}) { // no position to keep or continue from
        EXPECT_EQ(next(text, "/", nullptr), nullptr);
        EXPECT_EQ(next(nullptr, "/", &position), nullptr);
    }
}

TEST(ZorTokenizeTest, PlainFormsWarnFromDebugLevel99)
{
    char a[] = "a//b", b[] = "a//b";
    testing::internal::CaptureStderr();
    zorGlobalDebugLevel = 98;
    EXPECT_STREQ(zorTokenize(a, "/"), "a");
    zorGlobalDebugLevel = 99;
    EXPECT_STREQ(zorStrTok(b, "/"), "a");
    zorGlobalDebugLevel = 0;
    giDebug_strtokenize = 120; // the unit's own level counts too
    EXPECT_STREQ(zorTokenize(nullptr, "/"), "") << "each plain form keeps its own position";
    giDebug_strtokenize = 0;
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "WARNING:  zorStrTok() is not thread safe\nWARNING:  zorTokenize() is not thread safe\n");
}
