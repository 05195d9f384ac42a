// Library manager of the platform: reports when a group of shared libraries
// is ready, through the dispatcher.
#pragma once
#include <cstdint>

enum { LM_GROUP_READY = 1, LM_GROUP_FAILED = 2 };
enum { LM_NAME_SIZE = 33 };

typedef uint32_t lmGroupHandle_t;
typedef void (*lmGroupCallback_t)(void* context, int code, lmGroupHandle_t group);

// Watches the named libraries; 0 when the watch cannot be set up.
lmGroupHandle_t lmWatchGroup(char names[][LM_NAME_SIZE], int count, int mode, lmGroupCallback_t cb, void* context,
                             int a);
int lmCancelGroup(lmGroupHandle_t group);
