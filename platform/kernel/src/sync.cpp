// Critical sections: recursive mutexes kept in CRITICAL_SECTION's storage.
#include <pthread.h>

#include <new>

#include "platform/kernel/win32.h"

static_assert(sizeof(pthread_mutex_t) <= sizeof(CRITICAL_SECTION::opaque), "a mutex fits a critical section");
static_assert(alignof(pthread_mutex_t) <= alignof(CRITICAL_SECTION), "a critical section is aligned for a mutex");

namespace {
pthread_mutex_t* MutexOf(CRITICAL_SECTION* section) {
  return std::launder(reinterpret_cast<pthread_mutex_t*>(section->opaque));
}
}  // namespace

void InitializeCriticalSection(CRITICAL_SECTION* section) {
  pthread_mutexattr_t attributes;
  pthread_mutexattr_init(&attributes);
  pthread_mutexattr_settype(&attributes, PTHREAD_MUTEX_RECURSIVE);
  pthread_mutex_init(new (section->opaque) pthread_mutex_t, &attributes);
  pthread_mutexattr_destroy(&attributes);
}

void DeleteCriticalSection(CRITICAL_SECTION* section) { pthread_mutex_destroy(MutexOf(section)); }

void EnterCriticalSection(CRITICAL_SECTION* section) { pthread_mutex_lock(MutexOf(section)); }

void LeaveCriticalSection(CRITICAL_SECTION* section) { pthread_mutex_unlock(MutexOf(section)); }
