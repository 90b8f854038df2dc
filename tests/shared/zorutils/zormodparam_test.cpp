// The parameter block and the error classes. This binary replaces every form
// of the global operator new and delete the library uses (a sanitizer runtime
// serves the array and nothrow forms itself unless they are replaced too), so
// a test sees the size of the last allocation, can fail the n-th one and
// counts what is still alive.
#include "zor_error.h"
#include "zormodparam.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <vector>

namespace {

long gFailAt = -1; ///< allocations left before one fails; -1: never
long gLive = 0;    ///< allocations minus frees since failAllocation
size_t gLastSize = 0;

void failAllocation(long n)
{
    gLive = 0;
    gFailAt = n;
}

void* allocate(size_t size)
{
    void* p = gFailAt == 0 ? nullptr : std::malloc(size == 0 ? 1 : size);
    gFailAt -= gFailAt >= 0;
    if (p == nullptr) {
        throw std::bad_alloc();
    }
    gLastSize = size;
    ++gLive;
    return p;
}

void release(void* p)
{
    gLive -= p != nullptr;
    std::free(p);
}

std::string reply(ZorModParam& p)
{
    int used = 0;
    const char* bytes = p.getMessage(&used);
    return std::string(bytes, static_cast<size_t>(used));
}

} // namespace

void* operator new(size_t size) { return allocate(size); }
void* operator new[](size_t size) { return allocate(size); }
void* operator new(size_t size, const std::nothrow_t&) noexcept
{
    try {
        return allocate(size);
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
}
void* operator new[](size_t size, const std::nothrow_t& tag) noexcept
{
    return operator new(size, tag);
}
void operator delete(void* p) noexcept { release(p); }
void operator delete(void* p, size_t) noexcept { release(p); }
void operator delete[](void* p) noexcept { release(p); }
void operator delete[](void* p, size_t) noexcept { release(p); }

TEST(ZorModParamTest, SplitsKeyAndValueIntoPartsByPosition)
{
    using Parts = std::vector<std::string>;
    for (const auto& c : std::vector<std::pair<const char*, Parts>>{
             {"/zor/public/system/monitor/config/monitor-entry/3/",
              {"zor", "public", "system", "monitor", "config", "monitor-entry", "3"}},
             {"a//b", {"a", "(null)", "b"}},
             {"//a", {"(null)", "a"}},
             {"a/", {"a"}},
             {"/", {}},
             {nullptr, {}}}) {
        ZorModParam p(c.first, c.first, 64);
        Parts key, value;
        for (int i = 1; i <= p.getNumKeyParts() || i <= p.getNumValueParts(); ++i) {
            key.push_back(p.getKey(i) != nullptr ? p.getKey(i) : "(null)");
            value.push_back(p.getValue(i) != nullptr ? p.getValue(i) : "(null)");
        }
        EXPECT_EQ(key, c.second) << c.first;
        EXPECT_EQ(value, c.second) << c.first;
        EXPECT_STREQ(p.getKey(0), c.first != nullptr ? c.first : "");
        EXPECT_TRUE(p.getKey(-1) == nullptr && p.getValue(p.getNumValueParts() + 1) == nullptr);
    }
    int count = -1;
    char** split = parseString("x/y", 1, &count); // only the first byte is the text
    EXPECT_TRUE(count == 1 && std::string(split[0]) == "x");
    delete[] split[0];
    delete[] split;
}

TEST(ZorModParamTest, ReplyGrowsByWholeMultiplesOfTheStartingSizeAndStaysOneText)
{
    ZorModParam p(nullptr, nullptr, 100);
    char block[250] = {};
    p.appendData(block, 250, 3);
    EXPECT_EQ(gLastSize, 400u) << "100 + (250 / 100 + 1) * 100";
    const char* grown = p.getMessage(nullptr);
    p.appendData(block, 150); // exactly fills 400
    p.setMessageSize(400);    // not above the capacity: changes nothing
    EXPECT_EQ(p.getMessage(nullptr), grown);
    EXPECT_EQ(p.getMessageID(), 3);
    p.appendData(block, 1, -1);
    EXPECT_EQ(gLastSize, 500u);
    p.setMessageSize(6024);
    EXPECT_EQ(gLastSize, 6024u);
    EXPECT_EQ(reply(p).size(), 401u);
    for (int tiny : {0, -5}) { // taken as 1, so growth stays exact
        ZorModParam q(nullptr, nullptr, tiny);
        q.appendData("abcde", 5, 0);
        EXPECT_EQ(gLastSize, 7u) << "1 + (5 / 1 + 1) * 1";
    }

    ZorModParam t("/k/", nullptr, 8);
    t.appendData("0123456789", 10, 0);
    EXPECT_EQ(reply(t), "0123456789") << "no terminator after raw data";
    t.setMessage("x", -2);
    t.appendMessage("yz");
    EXPECT_EQ(reply(t), std::string("xyz\0", 4));
    EXPECT_EQ(t.getMessageID(), -2);
    t.appendData(nullptr, 5, -6); // nothing to append still records the code
    t.appendData("abc", -1);
    EXPECT_EQ(reply(t), std::string("xyz\0", 4));
    EXPECT_EQ(t.getMessageID(), -6);
    t.setMessage(nullptr, 1);
    EXPECT_EQ(reply(t), std::string("\0", 1));

    // In place: the room appendData would make, and only what was written is kept.
    ZorModParam f(nullptr, nullptr, 4);
    EXPECT_EQ(3, f.appendFrom(10, [](char* to, int n) {
        EXPECT_EQ(10, n);
        std::memcpy(to, "abc", 3);
        return 3;
    }));
    EXPECT_EQ(gLastSize, 16u) << "4 + (10 / 4 + 1) * 4";
    EXPECT_EQ(-1, f.appendFrom(5, [](char*, int) { return -1; }));
    EXPECT_EQ(reply(f), "abc");
}

// Large replies live in mappings of their own, and the last one freed is
// reused: the bytes must survive every move between the heap, a fresh mapping
// and the reused one, and no block may be freed the wrong way.
TEST(ZorModParamTest, LargeRepliesKeepTheirBytesAcrossGrowthAndReuse)
{
    failAllocation(-1);
    const int large = 5 << 20;
    auto pattern = std::make_unique<std::string>(static_cast<size_t>(large), '\0');
    for (size_t i = 0; i < pattern->size(); ++i) {
        (*pattern)[i] = static_cast<char>('a' + i % 23);
    }
    for (int round = 0; round < 3; ++round) { // the first maps, the others reuse
        ZorModParam p("/k/", nullptr, 16);
        p.setMessage("head", 7);
        p.setMessageSize(large);
        EXPECT_EQ(reply(p), std::string("head\0", 5));
        EXPECT_EQ(large, p.appendFrom(large, [&](char* to, int n) {
            std::memcpy(to, pattern->data(), static_cast<size_t>(n));
            return n;
        }));
        p.appendData(pattern->data(), large); // beyond any reused block: a new one
        EXPECT_EQ(reply(p), std::string("head\0", 5) + *pattern + *pattern) << "round " << round;
        EXPECT_EQ(p.getMessageID(), 7);
    }
    auto big = std::make_unique<ZorModParam>(nullptr, nullptr, large); // a large starting size
    big->setMessage("x", 0);
    EXPECT_EQ(reply(*big), std::string("x\0", 2));
    big.reset();
    pattern.reset();
    EXPECT_EQ(gLive, 0) << "every ordinary allocation is freed";
}

TEST(ZorModParamTest, OutOfMemoryIsZorEnomemAndLeavesNothingBehind)
{
    // Fail each allocation of the constructor in turn, until it needs no more.
    long n = 0;
    for (bool failed = true; failed; ++n) {
        failAllocation(n);
        failed = false;
        try {
            ZorModParam p("/zor//monitor/7/", "3/<x a=\"1\"/>", 16);
        } catch (const zor_enomem& e) {
            failed = true;
            EXPECT_STREQ(e.getMsg(), "ZorModParam::ZorModParam");
        }
        EXPECT_EQ(gLive, 0) << "allocation " << n;
    }
    gFailAt = -1;
    EXPECT_GT(n, 6) << "both texts, their parts and the reply buffer are allocated";
    for (n = 0; n < 3; ++n) {
        failAllocation(n);
        EXPECT_THROW(parseString("a/b", 3, nullptr), zor_enomem);
        EXPECT_EQ(gLive, 0);
    }
    ZorModParam p("/k/", nullptr, 4);
    p.setMessage("old", 0);
    failAllocation(0);
    EXPECT_THROW(p.appendMessage("longer than four", -3), zor_enomem);
    failAllocation(0);
    EXPECT_THROW(p.setMessageSize(1000), zor_enomem);
    EXPECT_EQ(reply(p), std::string("old\0", 4)) << "the old reply stays whole";
}

TEST(ZorErrorTest, MessagesAreOwnedCopies)
{
    char text[] = "first";
    zor_error original(text), empty;
    text[0] = 'X';
    zor_error copy(original);
    EXPECT_STREQ(copy.getMsg(), "first");
    EXPECT_NE(copy.getMsg(), original.getMsg());
    EXPECT_EQ(zor_error(empty).getMsg(), nullptr);
    failAllocation(0); // no memory for the copy: an error without a message
    EXPECT_EQ(zor_enomem("no room").getMsg(), nullptr);
}
