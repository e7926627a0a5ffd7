// SPDX-License-Identifier: MIT
// A preload that fails one allocation of a program, to see what the program
// makes of running out of memory at that moment.
//
//   FAILING_ALLOC_AT=N   the N-th allocation made from main() on (1-based)
//                        returns null with errno ENOMEM; later ones succeed.
//                        Unset or 0: none fails.
//   FAILING_ALLOC_COUNT=FILE  at exit, the number of allocations made from
//                        main() on is written to FILE (to size a sweep).
//
// Allocations made before main() (the loader, the C++ runtime's static
// set-up) are not counted: a program cannot answer for those.  Every
// allocation call counts: malloc, calloc, realloc, the aligned ones, and
// through them operator new and the C library's own (fopen, strdup...),
// which reach malloc through the same symbol.
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <malloc.h>
#include <stddef.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

extern "C" {

// The C library's own entry points, which a replacement may call.
void* __libc_malloc(size_t size);
void* __libc_calloc(size_t count, size_t size);
void* __libc_realloc(void* pointer, size_t size);
void* __libc_memalign(size_t alignment, size_t size);

namespace {

int counting;        // set once main() is reached
unsigned long made;  // allocations counted so far
unsigned long failAt;

// Whether this allocation is the one to fail.
int Fails()
{
    if (!counting)
        return 0;
    ++made;
    if (failAt != 0 && made == failAt) {
        errno = ENOMEM;
        return 1;
    }
    return 0;
}

}  // namespace

void* malloc(size_t size) noexcept
{
    return Fails() ? NULL : __libc_malloc(size);
}

void* calloc(size_t count, size_t size) noexcept
{
    return Fails() ? NULL : __libc_calloc(count, size);
}

void* realloc(void* pointer, size_t size) noexcept
{
    return Fails() ? NULL : __libc_realloc(pointer, size);
}

void* memalign(size_t alignment, size_t size) noexcept
{
    return Fails() ? NULL : __libc_memalign(alignment, size);
}

void* aligned_alloc(size_t alignment, size_t size) noexcept
{
    return Fails() ? NULL : __libc_memalign(alignment, size);
}

int posix_memalign(void** result, size_t alignment, size_t size) noexcept
{
    if (Fails())
        return ENOMEM;
    void* pointer = __libc_memalign(alignment, size);
    if (pointer == NULL)
        return ENOMEM;
    *result = pointer;
    return 0;
}

__attribute__((destructor)) static void WriteCount()
{
    const char* file = getenv("FAILING_ALLOC_COUNT");
    if (file == NULL || *file == '\0')
        return;
    char text[32];
    int length = snprintf(text, sizeof text, "%lu\n", made);
    int fd = open(file, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0)
        return;
    if (write(fd, text, static_cast<size_t>(length)) != length)
        (void)0;
    close(fd);
}

// main() is reached through the C library's start routine, which this
// replaces with one that turns counting on just before main().
typedef int (*MainFunction)(int, char**, char**);
static MainFunction realMain;

static int CountingMain(int argc, char** argv, char** envp)
{
    const char* at = getenv("FAILING_ALLOC_AT");
    failAt = at != NULL ? strtoul(at, NULL, 10) : 0;
    counting = 1;
    return realMain(argc, argv, envp);
}

int __libc_start_main(MainFunction main, int argc, char** argv, void (*init)(void),
                      void (*fini)(void), void (*rtldFini)(void), void* stackEnd);

typedef int (*StartFunction)(MainFunction, int, char**, void (*)(void), void (*)(void),
                             void (*)(void), void*);

int __libc_start_main(MainFunction main, int argc, char** argv, void (*init)(void),
                      void (*fini)(void), void (*rtldFini)(void), void* stackEnd)
{
    StartFunction start = (StartFunction)dlsym(RTLD_NEXT, "__libc_start_main");
    realMain = main;
    return start(CountingMain, argc, argv, init, fini, rtldFini, stackEnd);
}

}  // extern "C"
