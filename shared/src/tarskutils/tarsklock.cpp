#include "tarsklock.h"

#include "zorglobals.h"

#include <atomic>
#include <cstdio>
#include <pthread.h>
#include <syslog.h>

namespace {

pthread_mutex_t g_bigLock = PTHREAD_MUTEX_INITIALIZER;
// Changed outside the mutex by waiting threads, hence atomic.
std::atomic<int> g_sleepers(0);

void trace(const char* who)
{
    if (who == nullptr || zorGlobalDebugLevel <= 9) {
        return;
    }
    int sleepers = g_sleepers.load();
    if (zorGlobalUseSyslog) {
        openlog("tarsk", LOG_CONS | LOG_NDELAY, LOG_LOCAL4);
        syslog(LOG_NOTICE, "tarsk_bidlock_lock(%s) sleepers = %i\n", who, sleepers);
    } else {
        std::fprintf(stderr, "tarsk_bidlock_lock(%s) sleepers = %i\n", who, sleepers);
        std::fflush(stderr);
    }
}

} // namespace

int tarsk_biglock_lock(char* who)
{
    trace(who);
    ++g_sleepers;
    pthread_mutex_lock(&g_bigLock);
    return 0;
}

int tarsk_biglock_unlock(char* who)
{
    --g_sleepers;
    pthread_mutex_unlock(&g_bigLock);
    trace(who);
    return 0;
}

int tarsk_biglock_sleepers(void)
{
    return g_sleepers.load();
}
