#include "zorstrtokenize.h"

#include "zorglobals.h"

#include <cstdio>
#include <cstring>
#include <syslog.h>

int giDebug_strtokenize = 0;

char* zorTokenize_r(char* cpString, const char* cpDelim, char** cppCurPos)
{
    if (cpString != nullptr && cppCurPos != nullptr) {
        *cppCurPos = cpString;
    }
    if (cppCurPos == nullptr) {
        return nullptr;
    }
    char* p = *cppCurPos;
    if (p == nullptr || *p == '\0') {
        *cppCurPos = nullptr;
        return nullptr;
    }
    char* delim = std::strpbrk(p, cpDelim);
    if (delim == nullptr) {
        *cppCurPos = nullptr;
        return p;
    }
    *delim = '\0';
    *cppCurPos = delim + 1;
    return p;
}

char* zorStrTok_r(char* cpString, const char* cpDelim, char** cppCurPos)
{
    if (cpString != nullptr && cppCurPos != nullptr) {
        *cppCurPos = cpString;
    }
    if (cppCurPos == nullptr) {
        return nullptr;
    }
    char* p = *cppCurPos;
    if (p == nullptr || *p == '\0') {
        *cppCurPos = nullptr;
        return nullptr;
    }
    p += std::strspn(p, cpDelim);
    if (*p == '\0') {
        *cppCurPos = nullptr;
        return nullptr;
    }
    char* delim = std::strpbrk(p, cpDelim);
    if (delim == nullptr) {
        *cppCurPos = nullptr;
        return p;
    }
    *delim = '\0';
    *cppCurPos = delim + 1;
    return p;
}

namespace {
// The plain forms share one static position, so two threads using them at
// once corrupt each other's scan. When debugging is turned up they say so.
void warnNotThreadSafe(const char* text)
{
    if (giDebug_strtokenize < 99 && zorGlobalDebugLevel < 99) {
        return;
    }
    if (zorGlobalUseSyslog != 0) {
        openlog("tarsk", LOG_CONS | LOG_NDELAY, LOG_LOCAL4);
        syslog(LOG_NOTICE | LOG_LOCAL4, "%s", text);
    } else {
        std::fputs(text, stderr);
        std::fflush(stderr);
    }
}
} // namespace

char* zorTokenize(char* cpString, const char* cpDelim)
{
    static char* cpCurPos = nullptr;
    warnNotThreadSafe("WARNING:  zorTokenize() is not thread safe\n");
    return zorTokenize_r(cpString, cpDelim, &cpCurPos);
}

char* zorStrTok(char* cpString, const char* cpDelim)
{
    static char* cpCurPos = nullptr;
    warnNotThreadSafe("WARNING:  zorStrTok() is not thread safe\n");
    return zorStrTok_r(cpString, cpDelim, &cpCurPos);
}
