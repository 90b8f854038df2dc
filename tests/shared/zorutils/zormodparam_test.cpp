// The parameter block and the error classes. Allocation is watched by
// replacing the global operator new of this test binary: the utility
// library's allocations resolve to it, so a test can fail the n-th one and
// count what is still alive afterwards.
#include "zor_error.h"
#include "zormodparam.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <new>
#include <string>

namespace {

long gFailCountdown = -1; ///< allocations left before one fails; -1: never
long gLive = 0;           ///< allocations minus frees while counting
bool gCounting = false;
size_t gLastSize = 0;     ///< size of the last allocation

void* allocate(size_t size)
{
    if (gFailCountdown == 0) {
        gFailCountdown = -1;
        throw std::bad_alloc();
    }
    if (gFailCountdown > 0) {
        --gFailCountdown;
    }
    void* p = std::malloc(size == 0 ? 1 : size);
    if (p == nullptr) {
        throw std::bad_alloc();
    }
    gLastSize = size;
    if (gCounting) {
        ++gLive;
    }
    return p;
}

void release(void* p)
{
    if (p != nullptr && gCounting) {
        --gLive;
    }
    std::free(p);
}

/// Counts allocations from construction on; fails the n-th when asked.
struct AllocationWatch {
    explicit AllocationWatch(long failAt = -1)
    {
        gLive = 0;
        gCounting = true;
        gFailCountdown = failAt;
    }
    ~AllocationWatch()
    {
        gCounting = false;
        gFailCountdown = -1;
    }
};

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
void* operator new[](size_t size, const std::nothrow_t& tag) noexcept { return operator new(size, tag); }
void operator delete(void* p) noexcept { release(p); }
void operator delete[](void* p) noexcept { release(p); }
void operator delete(void* p, size_t) noexcept { release(p); }
void operator delete[](void* p, size_t) noexcept { release(p); }

TEST(ZorModParamTest, SplitsKeyAndValueIntoPartsByPosition)
{
    ZorModParam entry("/zor/public/system/monitor/config/monitor-entry/3/", "5", 64);
    EXPECT_EQ(entry.getNumKeyParts(), 7);
    EXPECT_STREQ(entry.getKey(1), "zor");
    EXPECT_STREQ(entry.getKey(6), "monitor-entry");
    EXPECT_STREQ(entry.getKey(7), "3");
    EXPECT_EQ(entry.getKey(8), nullptr);
    EXPECT_EQ(entry.getKey(-1), nullptr);
    EXPECT_STREQ(entry.getValue(1), "5");

    ZorModParam commit("/zor/public/system/monitor/commit/", "a/b", 64);
    EXPECT_EQ(commit.getNumKeyParts(), 5);
    EXPECT_STREQ(commit.getKey(5), "commit");
    EXPECT_EQ(commit.getKey(6), nullptr);
    EXPECT_STREQ(commit.getValue(0), "a/b");
    EXPECT_STREQ(commit.getValue(1), "a");

    ZorModParam empties("a//b", "//a", 64);
    ASSERT_EQ(empties.getNumKeyParts(), 3);
    EXPECT_STREQ(empties.getKey(1), "a");
    EXPECT_EQ(empties.getKey(2), nullptr);
    EXPECT_STREQ(empties.getKey(3), "b");
    ASSERT_EQ(empties.getNumValueParts(), 2);
    EXPECT_EQ(empties.getValue(1), nullptr);
    EXPECT_STREQ(empties.getValue(2), "a");

    ZorModParam trailing("a/", "/", 64);
    EXPECT_EQ(trailing.getNumKeyParts(), 1);
    EXPECT_EQ(trailing.getNumValueParts(), 0);
    EXPECT_EQ(trailing.getValue(1), nullptr);

    for (const char* none : {static_cast<const char*>(nullptr), ""}) {
        ZorModParam p(none, none, 64);
        EXPECT_STREQ(p.getKey(0), "");
        EXPECT_EQ(p.getKey(1), nullptr);
        EXPECT_STREQ(p.getValue(0), "");
        EXPECT_EQ(p.getNumValueParts(), 0);
    }

    int count = -1;
    char** parts = parseString("x/y", 1, &count); // only the first byte is the text
    ASSERT_EQ(count, 1);
    EXPECT_STREQ(parts[0], "x");
    delete[] parts[0];
    delete[] parts;
}

TEST(ZorModParamTest, ReplyBufferGrowsByWholeMultiplesOfTheStartingSize)
{
    ZorModParam p(nullptr, nullptr, 100);
    char block[250] = {};
    p.appendData(block, 250, 3);
    EXPECT_EQ(gLastSize, 400u) << "100 + (250 / 100 + 1) * 100";
    const char* grown = p.getMessage(nullptr);
    p.appendData(block, 150); // exactly fills 400
    EXPECT_EQ(p.getMessage(nullptr), grown);
    EXPECT_EQ(p.getMessageID(), 3);
    p.appendData(block, 1, -1);
    EXPECT_EQ(gLastSize, 500u);
    EXPECT_EQ(reply(p).size(), 401u);

    const char* before = p.getMessage(nullptr);
    p.setMessageSize(200);
    p.setMessageSize(500);
    EXPECT_EQ(p.getMessage(nullptr), before) << "a size not above the capacity changes nothing";
    p.setMessageSize(6024);
    EXPECT_EQ(gLastSize, 6024u);
    EXPECT_EQ(reply(p).size(), 401u);

    // Below 1 the starting size is taken as 1: growth stays exact.
    for (int tiny : {0, -5}) {
        ZorModParam q(nullptr, nullptr, tiny);
        EXPECT_EQ(reply(q), "");
        q.appendData("abcde", 5, 0);
        EXPECT_EQ(gLastSize, 7u) << "1 + (5 / 1 + 1) * 1";
        EXPECT_EQ(reply(q), "abcde");
    }
}

TEST(ZorModParamTest, TextRepliesStayOneTerminatedText)
{
    ZorModParam p("/k/", nullptr, 8);
    p.appendData("0123456789", 10, 0);
    EXPECT_EQ(reply(p), "0123456789") << "no terminator after raw data";
    p.setMessage("x", -2);
    EXPECT_EQ(reply(p), std::string("x\0", 2));
    EXPECT_EQ(p.getMessageID(), -2);
    p.appendMessage("yz");
    EXPECT_EQ(reply(p), std::string("xyz\0", 4));
    EXPECT_EQ(p.getMessageID(), -2);
    p.appendMessage(" and a longer tail", 0);
    EXPECT_STREQ(p.getMessage(nullptr), "xyz and a longer tail");
    EXPECT_EQ(p.getMessageID(), 0);

    // Nothing to append still records the code.
    p.appendData(nullptr, 5, -6);
    p.appendData("abc", -1);
    EXPECT_STREQ(p.getMessage(nullptr), "xyz and a longer tail");
    EXPECT_EQ(p.getMessageID(), -6);
    p.setMessage(nullptr, 1);
    EXPECT_EQ(reply(p), std::string("\0", 1));
}

TEST(ZorModParamTest, OutOfMemoryLeavesNothingBehind)
{
    // Fail each allocation of the constructor in turn, until it needs no more.
    int failures = 0;
    for (long n = 0;; ++n) {
        AllocationWatch watch(n);
        bool failed = false;
        try {
            ZorModParam p("/zor//monitor/7/", "3/<x a=\"1\"/>", 16);
        } catch (const zor_enomem& e) {
            failed = true;
            EXPECT_STREQ(e.getMsg(), "ZorModParam::ZorModParam");
        }
        EXPECT_EQ(gLive, 0) << "allocation " << n;
        if (!failed) {
            break;
        }
        ++failures;
    }
    // Per text: the copy, the splitter's scratch copy, the part array and
    // three parts; then the reply buffer.
    EXPECT_EQ(failures, 13);

    ZorModParam p("/k/", nullptr, 4);
    p.setMessage("old", 0);
    {
        AllocationWatch watch(0);
        try {
            p.appendMessage("longer than four", -3);
            ADD_FAILURE() << "no zor_enomem";
        } catch (const zor_enomem& e) {
            EXPECT_STREQ(e.getMsg(), "ZorModParam");
        }
    }
    EXPECT_EQ(reply(p), std::string("old\0", 4)) << "the old reply stays whole";
    EXPECT_EQ(p.getMessageID(), -3);
    {
        AllocationWatch watch(0);
        try {
            p.setMessageSize(1000);
            ADD_FAILURE() << "no zor_enomem";
        } catch (const zor_enomem& e) {
            EXPECT_STREQ(e.getMsg(), "ZorModParam::setMessageSize");
        }
    }
    EXPECT_EQ(reply(p), std::string("old\0", 4));

    for (long n = 0; n < 3; ++n) {
        AllocationWatch watch(n);
        int count = 0;
        try {
            parseString("a/b", 3, &count);
            ADD_FAILURE() << "no zor_enomem";
        } catch (const zor_enomem& e) {
            EXPECT_STREQ(e.getMsg(), "");
        }
        EXPECT_EQ(gLive, 0);
    }
}

TEST(ZorErrorTest, MessagesAreOwnedCopies)
{
    char text[] = "first";
    zor_error original(text);
    text[0] = 'X';
    EXPECT_STREQ(original.getMsg(), "first");
    zor_error copy(original);
    EXPECT_STREQ(copy.getMsg(), "first");
    EXPECT_NE(copy.getMsg(), original.getMsg());

    zor_error empty;
    zor_error emptyCopy(empty);
    EXPECT_EQ(emptyCopy.getMsg(), nullptr);
    EXPECT_EQ(zor_error(nullptr).getMsg(), nullptr);

    try {
        throw zor_enomem("ZorModParam");
    } catch (const zor_error& e) {
        EXPECT_STREQ(e.getMsg(), "ZorModParam");
        EXPECT_NE(dynamic_cast<const zor_enomem*>(&e), nullptr);
    }

    // With no memory for the copy the error still exists, without a message.
    AllocationWatch watch(0);
    zor_enomem starved("no room");
    EXPECT_EQ(starved.getMsg(), nullptr);
}
