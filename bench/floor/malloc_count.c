/* Counts the C heap allocations of a process (LD_PRELOAD shim).
 *
 * Forwards malloc, calloc, realloc and the aligned allocators to glibc's own
 * implementations and counts each call, so that the benchmark can read how
 * many allocations one ordering call makes (engine vectors, the id list's
 * item array, interpreter arenas) through quorlin_malloc_count(). */
#define _GNU_SOURCE
#include <errno.h>
#include <stddef.h>

extern void *__libc_malloc(size_t);
extern void *__libc_calloc(size_t, size_t);
extern void *__libc_realloc(void *, size_t);
extern void *__libc_memalign(size_t, size_t);
extern void __libc_free(void *);

static unsigned long long g_count;

static void bump(void) { __atomic_fetch_add(&g_count, 1, __ATOMIC_RELAXED); }

unsigned long long quorlin_malloc_count(void) { return __atomic_load_n(&g_count, __ATOMIC_RELAXED); }

void *malloc(size_t n) { bump(); return __libc_malloc(n); }
void *calloc(size_t a, size_t b) { bump(); return __libc_calloc(a, b); }
void *realloc(void *p, size_t n) { bump(); return __libc_realloc(p, n); }
void free(void *p) { __libc_free(p); }
void *memalign(size_t align, size_t n) { bump(); return __libc_memalign(align, n); }
void *aligned_alloc(size_t align, size_t n) { bump(); return __libc_memalign(align, n); }
int posix_memalign(void **out, size_t align, size_t n) {
    bump();
    void *p = __libc_memalign(align, n);
    if (p == NULL) return ENOMEM;
    *out = p;
    return 0;
}
