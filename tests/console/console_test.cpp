// The console's own logic without a server: the decoding of form bodies
// and the lockout after failed logins.
#include "consoleauth.h"
#include "httpendpoint.h"

#include <gtest/gtest.h>

using namespace console;

TEST(ConsoleHttp, FormTextDecodes)
{
    HttpParams p;
    parseUrlEncoded("a=1+2&b=%3C%2f%3E&c&=x&d=%zz%4&&a=3", &p);
    using Pairs = std::vector<std::pair<std::string, std::string>>;
    Pairs expected = {{"", "x"}, {"a", "1 2"}, {"a", "3"}, {"b", "</>"}, {"c", ""}, {"d", "%zz%4"}};
    EXPECT_EQ(Pairs(p.begin(), p.end()), expected);

    HttpRequest r;
    r.query = {{"csrf", "from-url"}, {"q", "1"}};
    r.form = {{"csrf", "from-form"}, {"f", "2"}};
    EXPECT_EQ(r.param("csrf"), "from-url");
    EXPECT_EQ(r.param("f"), "2");
    EXPECT_EQ(r.formField("csrf"), "from-form");
    EXPECT_EQ(r.formField("q"), "");
}

TEST(ConsoleAuth, LockoutHoldsOneNameFromOneAddress)
{
    LoginLimiter limiter(2, std::chrono::seconds(300), 3);
    limiter.failed("admin", "127.0.0.1");
    EXPECT_FALSE(limiter.blocked("admin", "127.0.0.1"));
    limiter.failed("admin", "127.0.0.1");
    EXPECT_TRUE(limiter.blocked("admin", "127.0.0.1"));
    EXPECT_FALSE(limiter.blocked("operator", "127.0.0.1"));
    EXPECT_FALSE(limiter.blocked("admin", "::1"));
    // A long name is cut to the same record as its first 256 characters.
    std::string longName(256, 'x');
    limiter.failed(longName + "a", "10.0.0.1");
    limiter.failed(longName + "b", "10.0.0.1");
    EXPECT_TRUE(limiter.blocked(longName + "c", "10.0.0.1"));
    // Three records fill the table: a fourth pushes out the stalest.
    limiter.failed("operator", "127.0.0.1");
    limiter.failed("guest", "127.0.0.1");
    EXPECT_FALSE(limiter.blocked("admin", "127.0.0.1"));
    EXPECT_TRUE(limiter.blocked(longName, "10.0.0.1"));
    limiter.succeeded(longName, "10.0.0.1");
    EXPECT_FALSE(limiter.blocked(longName, "10.0.0.1"));
}
